"""``python3 -m talvek``: the command line."""
import sys

from .cli import main

sys.exit(main())
