"""``talvek report``: report.pdf of a design folder drawn again, without designing."""

from __future__ import annotations

import json
from pathlib import Path

from .. import analysis
from ..api import SFIORecord, Talvek, TalvekError
from ..design.pipeline import DesignError
from ..venue import VenueError, parse_venue
from .document import write_pdf

__all__ = ["render_report"]


def render_report(tv: Talvek, folder: Path) -> Path:
    """Write report.pdf of a design folder again from its report.json and record, without designing.

    The record is designed again (``Talvek_Put_SFIO_and_design_SFs``, as
    ``talvek redesign`` does) and predicted on the report's grid, so the
    document comes out byte for byte as the design wrote it.
    """
    try:
        rep = json.loads((folder / "report.json").read_text())
    except (OSError, ValueError) as e:
        raise DesignError(f"{folder / 'report.json'}: cannot read it ({getattr(e, 'strerror', None) or e})") from None
    name = rep.get("record") if isinstance(rep, dict) else None
    if not name:
        raise DesignError(f"{folder / 'report.json'}: record: names no design record (a design of an older Talvek?)")
    try:
        record = SFIORecord.load(folder / str(name))
    except ValueError as e:
        raise DesignError(str(e)) from None
    if "text" not in record.venue:
        raise DesignError(f"{folder / name}: holds no venue; a report needs one")
    try:
        venue = parse_venue(str(record.venue["text"]), str(record.venue.get("source", folder / name)), tv.models_dir)
        tv.select(venue.model)
        tv.redesign(record)
    except VenueError as e:
        raise DesignError(f"{folder / name}: stored venue unusable: {e}") from None
    except TalvekError as e:
        raise DesignError(f"{e.text} ({folder / name})") from None
    pred = analysis.predict(tv, venue, grid=tuple(rep.get("grid", (120, 60))))
    if venue.room is not None:
        from ..room.prediction import room_prediction

        pred.room = room_prediction(tv, venue, pred)
    return write_pdf(folder / "report.pdf", rep, venue, pred, responses=analysis.filter_responses(tv))
