"""The venue editor in the browser: ``talvek serve``."""

from .server import create_app, serve

__all__ = ["create_app", "serve"]
