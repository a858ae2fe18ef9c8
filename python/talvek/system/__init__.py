"""Several columns in one venue: each column's own venue, the delays, and the combined prediction."""

from .delays import PRECEDENCE_MS, column_delays
from .placement import column_centre, column_venue, to_local

__all__ = ["PRECEDENCE_MS", "column_delays", "column_centre", "column_venue", "to_local"]
