"""A column of a system in its own coordinates: the single-column venue it is designed for.

A column at x = X facing +x sees the section shifted by -X; one facing -x sees
it shifted and mirrored (x' = X - x), so that every column is designed as the
library knows columns: at x = 0, facing +x. The lines it serves are active in
its venue; inactive lines it can see stay inactive (with ``inactive_as_zero``
the optimiser asks them for silence); lines served by other columns are left
out, as the optimiser would have to be told to fit or to silence them, and
neither is right for sound another column provides.
"""

from __future__ import annotations

import json
import math

import numpy as np

from ..venue import AudienceLine, ColumnPlacement, Venue

__all__ = ["to_local", "column_venue", "column_centre", "venue_text"]


def to_local(column: ColumnPlacement, x):
    """System x (m) to the column's own x: shifted to the column, mirrored when it faces -x."""
    return (np.asarray(x, dtype=float) - column.x) * column.sign


def _local_point(column: ColumnPlacement, point) -> tuple[float, float]:
    return (float((point[0] - column.x) * column.sign), float(point[1]))


def _sees(column: ColumnPlacement, a: AudienceLine) -> bool:
    t = math.radians(column.tilt)
    return all(x * math.cos(t) + (z - column.height) * math.sin(t) >= 0
               for x, z in (_local_point(column, a.start), _local_point(column, a.end)))


def column_venue(venue: Venue, column: ColumnPlacement) -> Venue:
    """The single-column venue of ``column``, in its own coordinates (see the module text).

    A column at x = 0 facing +x that serves every active line gets the venue's
    own lines, options and room: the single-column design.
    """
    lines = []
    for a in venue.audience:
        if a.name in column.serves or (not a.active and _sees(column, a)):
            lines.append(AudienceLine(a.name, _local_point(column, a.start), _local_point(column, a.end), a.levels,
                                      a.name in column.serves, a.line))
    section_x = None
    if venue.section_x is not None:
        ends = sorted(float(v) for v in to_local(column, venue.section_x))
        section_x = (ends[0], ends[1])
    derived = Venue(venue.name if not venue.is_system else f"{venue.name}: {column.name}", column.model,
                    column.height, column.tilt, lines, venue.inactive_as_zero, venue.woofer_iterations, section_x,
                    venue.section_z, venue.source, "", venue.room)
    derived.text = venue_text(derived) if venue.is_system else venue.text
    return derived


def venue_text(venue: Venue) -> str:
    """The text of a single-column venue file that reads as ``venue`` (its record keeps it)."""
    doc = {"name": venue.name, "model": venue.model.name, "height": venue.height, "tilt": venue.tilt,
           "audience": [{"name": a.name, "from": list(a.start), "to": list(a.end),
                         **({"level": list(a.levels)} if a.active else {"active": False, "level": list(a.levels)})}
                        for a in venue.audience]}
    options = {}
    if venue.inactive_as_zero:
        options["inactive_as_zero"] = True
    if venue.woofer_iterations:
        options["woofer_iterations"] = venue.woofer_iterations
    if options:
        doc["options"] = options
    if venue.room is not None:
        r = venue.room
        doc["room"] = {"volume": r.volume, "rt60": list(r.rt60), "temperature": r.temperature,
                       "humidity": r.humidity, **({"noise": list(r.noise)} if r.noise is not None else {})}
    if venue.section_x is not None and venue.section_z is not None:
        doc["section"] = {"x": list(venue.section_x), "z": list(venue.section_z)}
    return json.dumps(doc, indent=2) + "\n"


def column_centre(column: ColumnPlacement) -> tuple[float, float]:
    """Centre of the column's driver sections in system coordinates (x, z), m."""
    t = math.radians(column.tilt)
    half = 0.5 * column.model.column_length
    return column.x - column.sign * half * math.sin(t), column.height + half * math.cos(t)
