"""``python -m talvek`` and the installed ``talvek``: the command line."""
import sys


def run() -> int:
    from . import preload

    loading = preload.start(sys.argv[1:])
    try:
        from .cli import main  # numpy and the rest, while the model loads
    finally:
        if loading is not None:
            loading.join()
    return main()


if __name__ == "__main__":
    sys.exit(run())
