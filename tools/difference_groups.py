"""Third-difference operators D of the three steering-filter table sets.

Each row of D carries the coefficients +1, -3, +3, -1 at taps c, c+s, c+2s,
c+3s of the 2220-tap axis. Rows come in groups of equal stride s; inside a
group each row's first tap c moves one stride from the previous row's, upward
or downward. The groups below are the whole definition; `difference_triplets`
expands them into (row, column, value) triplets.
"""

TAP_COUNT = 2220
DIFFERENCE_TAPS = (1, -3, 3, -1)

# (set, first tap of the group's first row, direction, stride, row count),
# rows numbered consecutively within a set in the order listed.
GROUPS = (
    (0, 1098, +1, 8, 4),
    (0, 1090, -1, 8, 4),
    (0, 1118, +1, 16, 4),
    (0, 1046, -1, 16, 4),
    (0, 1158, +1, 32, 5),
    (0, 958, -1, 32, 5),
    (0, 1270, +1, 64, 4),
    (0, 750, -1, 64, 4),
    (0, 1430, +1, 128, 4),
    (0, 398, -1, 128, 4),
    (1, 1083, +1, 16, 7),
    (1, 1067, -1, 16, 6),
    (1, 1171, +1, 32, 5),
    (1, 947, -1, 32, 5),
    (1, 1283, +1, 64, 4),
    (1, 739, -1, 64, 4),
    (1, 1443, +1, 128, 4),
    (1, 387, -1, 128, 4),
    (2, 1108, +1, 2, 13),
    (2, 1106, -1, 2, 12),
    (2, 1131, +1, 4, 6),
    (2, 1079, -1, 4, 6),
    (2, 1149, +1, 8, 5),
    (2, 1049, -1, 8, 5),
    (2, 1177, +1, 16, 5),
    (2, 997, -1, 16, 5),
)

SET_COUNT = 3


def row_starts(set_index):
    """First tap and stride of every row of one set, in row order.

    Returns
    -------
    list of (int, int)
        (first tap c, stride s) per row.
    """
    rows = []
    for group_set, first, direction, stride, count in GROUPS:
        if group_set == set_index:
            rows.extend((first + direction * stride * i, stride) for i in range(count))
    return rows


def difference_triplets(set_index):
    """The nonzero entries of one set's D, four per row, in row order.

    Returns
    -------
    list of (int, int, int)
        (row, column, value) triplets.
    """
    triplets = []
    for row, (first, stride) in enumerate(row_starts(set_index)):
        for k, value in enumerate(DIFFERENCE_TAPS):
            column = first + k * stride
            if not 0 <= column < TAP_COUNT:
                raise ValueError(f"set {set_index} row {row}: tap {column} off the axis")
            triplets.append((row, column, value))
    return triplets
