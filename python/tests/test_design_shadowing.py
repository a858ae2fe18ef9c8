"""The optimiser's venue table without inactive lines in front of active ones: where the
cuts fall, against the rays from the column's centre worked out by hand."""

import json
import math

import numpy as np
import pytest

from talvek.design.shadowing import MARGIN_DEG, unshadowed
from talvek.venue import parse_venue

# An upright Vexal32 (1.6 m of drivers) at 3 m: its centre at (0, 3.8). A standing area at
# 1.6 m over seats at 1.2 m, as in a hall whose floor is inactive.
CENTRE_Z = 3.0 + 0.8
SEATS = {"name": "seats", "from": [4.0, 1.2], "to": [12.0, 1.2], "level": 80}


def venue(*inactive):
    lines = [SEATS] + [{"name": f"floor {k}", "from": a, "to": b, "active": False} for k, (a, b) in
                       enumerate(inactive)]
    return parse_venue(json.dumps({"model": "Vexal32", "height": 3.0, "audience": lines}))


def crossing(x_seat, z_seat, z_line, margin_deg):
    """Where the ray from the centre through a seat, turned by ``margin_deg`` away from the
    seats' middle, meets the horizontal line at ``z_line``."""
    angle = math.atan2(z_seat - CENTRE_Z, x_seat) + math.radians(margin_deg)
    return (z_line - CENTRE_Z) / math.tan(angle)


def test_a_floor_over_the_seats_is_cut_where_it_hides_them():
    v = venue(([3.0, 1.6], [30.0, 1.6]))
    table = unshadowed(v, v.item_table())
    active, inactive = table[table[:, 6] != 0], table[table[:, 6] == 0]
    np.testing.assert_array_equal(active, v.item_table()[:1])
    # The near seat is the steeper ray: the piece nearer the column ends below it (less the
    # margin), the far piece starts beyond the far seat's ray.
    near = crossing(4.0, 1.2, 1.6, -MARGIN_DEG)
    far = crossing(12.0, 1.2, 1.6, MARGIN_DEG)
    assert inactive.shape == (2, 7)
    (first, second) = sorted(inactive.tolist())
    step = 27.0 / 400          # the cut falls on the next sample of the line
    assert first[0] == 3.0 and near - step <= first[1] <= near
    assert far <= second[0] <= far + step and second[1] == 30.0
    assert all(row[2] == row[3] == 1.6 for row in inactive)


@pytest.mark.parametrize("inactive", [
    ([12.0, 1.2], [20.0, 1.2]),     # continues the seats from their far end
    ([2.0, 6.0], [10.0, 6.0]),      # above the column, in other directions
])
def test_a_line_beside_the_seats_is_kept_whole(inactive):
    v = venue(inactive)
    np.testing.assert_array_equal(unshadowed(v, v.item_table()), v.item_table())


def test_a_line_wholly_in_the_seats_directions_goes():
    v = venue(([6.0, 1.6], [9.0, 1.6]))
    np.testing.assert_array_equal(unshadowed(v, v.item_table()), v.item_table()[:1])
