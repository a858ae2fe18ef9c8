"""What a design leaves on disk: whole output folders, file digests, and checking a folder afterwards."""

from .folder import FolderError, describe_files, is_own, whole_folder

__all__ = ["FolderError", "describe_files", "is_own", "whole_folder"]
