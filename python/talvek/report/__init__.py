"""The design report: a multi-page PDF for the client, the architect and the commissioning engineer."""

from .document import write_pdf
from .drawing import FiguresAndReport, figure_names
from .system import SystemFiguresAndReport

__all__ = ["FiguresAndReport", "SystemFiguresAndReport", "figure_names", "write_pdf"]
