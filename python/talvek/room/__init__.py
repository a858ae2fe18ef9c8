"""The room around the column: air absorption, the column's radiated power,
the statistical reflected field and speech intelligibility.

One module per idea, each on numpy alone: :mod:`.air` (absorption of sound by
the air), :mod:`.radiation` (sound power from the directivity), :mod:`.reflected`
(the reflected level of a diffuse room), :mod:`.sti` (the speech transmission
index by the indirect method) and :mod:`.prediction`, which ties them to a
design's predicted direct sound. Nothing here imports the figures.
"""
