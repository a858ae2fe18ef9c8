"""Venue files: the published schema, and the one-line messages with field path and line."""

import json

import jsonschema
import pytest
from hostpaths import EXAMPLES

from talvek.api import MODELS
from talvek.venue import SCHEMA_PATH, VenueError, load_venue, parse_venue

SCHEMA = json.loads(SCHEMA_PATH.read_text())
PLAIN = jsonschema.Draft202012Validator(SCHEMA)  # any standard validator, none of our own rules


def test_schema_is_valid_and_accepts_the_examples_and_every_model():
    jsonschema.Draft202012Validator.check_schema(SCHEMA)
    for path in EXAMPLES.glob("*.json"):
        assert not list(PLAIN.iter_errors(json.loads(path.read_text()))), path
        load_venue(path)
    base = json.loads((EXAMPLES / "church_nave.json").read_text())
    for m in MODELS:
        for model in (m.name, m.name.upper(), m.number, str(m.number)):
            assert PLAIN.is_valid({**base, "model": model}), model
    # Any name passes the schema (columns of the user's own have names of
    # their own); the reader looks it up in the models folder.
    for model in ("", " ", 0, True, 1000):
        assert not PLAIN.is_valid({**base, "model": model}), model
    with pytest.raises(VenueError, match=r":3: model: unknown model 'Vexal99' \(known: 1 Vexal8, "):
        parse_venue(json.dumps({**base, "model": "Vexal99"}, indent=0), "v.json")


LINE = '   {"name": "stalls", "from": [2, 1.2], "to": [20, 2], "level": 80}'


def venue_text(line=LINE, top='"tilt": 0'):
    # Line 1 "{", 2 model, 3 height, 4 top, 5 "audience": [, 6 the first line, 7 a second line.
    return (f'{{\n "model": "Vexal32",\n "height": 1.8,\n {top},\n "audience": [\n{line},\n'
            f'   {{"from": [2, 1.2], "to": [9, 1.2], "active": false}}\n ]\n}}\n')


@pytest.mark.parametrize("text, line, path, problem", [
    (venue_text(top='"tilt": NaN'), 4, "tilt", "expected a number in degrees, got NaN"),
    (venue_text(top='"tilt": 1e999'), 4, "tilt", "expected a number in degrees, got Infinity"),
    (venue_text(top='"tilt": 95'), 4, "tilt", "95 is outside -90 to 90 degrees"),
    (venue_text(top='"tilt": 0, "tilt": 1'), 4, "tilt", "duplicate field"),
    (venue_text(top='"options": {"woofer_iterations": 3.0}'), 4, "options.woofer_iterations",
     "expected a whole number 1 to 1000, got 3.0"),
    (venue_text(top='"section": {"x": [0, 9]}'), 4, "section", "missing field 'z' ([low, high] in metres)"),
    (venue_text(top='"section": {"x": [0, 9], "z": [3, 3]}'), 4, "section.z", "range [3, 3] is empty"),
    (venue_text('   {"from": [2, 1.2], "to": [20, 2e4], "level": 80}'), 6, "audience[1].to",
     "20000.0 is outside -10000 to 10000 m"),
    (venue_text('   {"from": [2, 1.2], "to": [20, "a"], "level": 80}'), 6, "audience[1].to",
     'expected [x, z] in metres, got [20, "a"]'),
    (venue_text('   {"from": [2, 1.2], "to": [2, 1.2], "level": 80}'), 6, "audience[1].to",
     "the line has no length (from and to are the same point)"),
    (venue_text('   {"from": [2, 1.2],\n "to": [20, 2]}'), 6, "audience[1]",
     "missing field 'level' (a level or [level at from, level at to] in dB SPL)"),
    (venue_text('   {"from": [2, 1.2], "to": [20, 2], "level": [80, 250]}'), 6, "audience[1].level",
     "250 is outside 0 to 200 dB SPL"),
    (venue_text('   {"from": [2, 1.2], "to": [20, 2], "level": 80, "colour": 1}'), 6, "audience[1].colour",
     "unknown field (known: active, from, level, name, to)"),
    (venue_text('   {"from": [2, 1.2], "to": [20, 2], "active": false}'), 5, "audience",
     "no audience line is active; nothing to cover"),
    (venue_text(top='"model": 4'), 4, "model", "duplicate field"),
    ('{"height": 1.8, "audience": [1]}', 1, "model",
     "missing field 'model' (a model name such as \"Vexal32\" or its number)"),
    ("[" * 100000 + "]" * 100000, None, "", "not valid JSON: nested too deeply"),
])
def test_problems_name_line_and_field(text, line, path, problem):
    with pytest.raises(VenueError) as caught:
        parse_venue(text, "hall.json")
    e = caught.value
    assert (e.line, e.path, e.problem) == (line, path, problem)
    where = "hall.json" + (f":{line}" if line else "")
    assert str(e) == f"{where}: {path + ': ' if path else ''}{problem}"


def test_valid_venue_keeps_lines_of_the_audience():
    venue = parse_venue(venue_text(), "hall.json")
    assert [(a.name, a.line, a.active, a.levels) for a in venue.audience] == [
        ("stalls", 6, True, (80.0, 80.0)), ("line 2", 7, False, (0.0, 0.0))]


# The column hangs at 1.8 m. A point is in sight when the direction to it lies within 90 degrees
# of the direction the column aims (tilt above the horizontal): a tilted column's front plane leans
# back with it, so what a column aimed up sees above and behind it, one aimed down does not.
@pytest.mark.parametrize("tilt, point, behind", [
    (0.0, (0.5, 9.0), False), (0.0, (-0.1, 1.0), True),
    (20.0, (-1.0, 9.0), False), (-20.0, (-1.0, 9.0), True),   # above and just behind the column
    (20.0, (0.5, 0.0), True), (-20.0, (0.5, 0.0), False),     # on the floor just in front of it
    (60.0, (3.0, 0.0), True), (-60.0, (3.0, 0.0), False),
    (45.0, (1.0, 0.8), False),                                 # on the front plane itself: in sight
])
def test_out_of_sight_follows_the_tilt(tilt, point, behind):
    import math

    line = f'   {{"from": [{point[0]}, {point[1]}], "to": [12, 1.2], "level": 80}}'
    venue = parse_venue(venue_text(line, top=f'"tilt": {tilt}'), "hall.json")
    found = [(k, end) for k, end, _ in venue.out_of_sight()]
    assert found == ([(1, "from")] if behind else [])
    # The same answer from the angles themselves, without the plane's normal.
    off_aim = math.degrees(math.atan2(point[1] - 1.8, point[0])) - tilt
    assert (abs((off_aim + 180) % 360 - 180) > 90 + 1e-9) == behind
