"""The design report: a multi-page PDF for the client, the architect and the commissioning engineer."""

from .document import write_pdf

__all__ = ["write_pdf"]
