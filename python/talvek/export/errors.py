"""The one failure type of the export: a problem the user can act on."""


class ExportError(Exception):
    """An export that cannot be made; the message is one line naming the file and the problem."""
