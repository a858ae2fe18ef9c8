"""Designing: the library's optimiser, then voicing and refinement by the host, then the files a design keeps."""
