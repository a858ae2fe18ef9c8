#!/usr/bin/python3
"""Generate the steering-filter fit tables W0, W1 and the D triplets as C++.

Usage: make_fit_tables.py --output FILE

A section's steering filter is a weighted sum of the kernels b_r (row r of D
summed up three times). W0 and W1 turn a complex response H on the 216-point
design grid, referred to tap 1109, into the kernel weights
w = W0 @ Re H + W1 @ Im H. They are the linear map of this recipe:

1. the design-grid values, mirrored to negative frequencies with Hermitian
   symmetry and closed by a zero node one grid step above the top, are
   resampled onto the 0..24 kHz bins of a 2220-point DFT at 96 kHz by cubic
   Lagrange interpolation in linear frequency (bins above 24 kHz are zero);
2. the spectrum is moved from tap 1109 to tap 0 and turned into a real time
   response by the inverse DFT;
3. the kernels are fitted to that response by plain least squares.

Design columns that no Lagrange stencil reaches (the low grid points packed
closer than the DFT bins) come out as exact zero columns.
"""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import difference_groups as dg  # noqa: E402

SAMPLE_RATE = 96000.0
REFERENCE_TAP = 1109
DESIGN_GRID_SIZE = 216
ORDER = 3
F_LOW = 50.0
F_RATIO = 480.0          # 24 kHz / 50 Hz
GRID_STEPS = 214         # steps of the 215-point output grid


def design_frequencies(count=DESIGN_GRID_SIZE):
    """Design grid: 0 Hz, then 50 * 480**((k - 1) / 214) Hz for k = 1 .. count - 1.

    Returns
    -------
    (count,) ndarray of float, Hz
    """
    k = np.arange(1, count)
    return np.concatenate(([0.0], F_LOW * F_RATIO ** ((k - 1) / GRID_STEPS)))


def kernels(set_index):
    """Kernels b_r: rows of D summed up ORDER times along the tap axis.

    Returns
    -------
    (R, 2220) ndarray of float
    """
    triplets = dg.difference_triplets(set_index)
    rows = max(t[0] for t in triplets) + 1
    d = np.zeros((rows, dg.TAP_COUNT))
    for row, column, value in triplets:
        d[row, column] = value
    for _ in range(ORDER):
        d = np.cumsum(d, axis=1)
    return d


def node_maps():
    """Interpolation nodes and their values as a linear map of the grid values.

    The nodes are -f_215 .. -f_1, 0, f_1 .. f_215, f_216 (ascending). A node's
    complex value is re_map @ Re H + 1j * im_map @ Im H: a negative node
    carries the conjugate of its grid column, the top node carries 0.

    Returns
    -------
    nodes : (432,) ndarray of float, Hz
    re_map, im_map : (432, 216) ndarray of float
    """
    f = design_frequencies()
    top = F_LOW * F_RATIO ** ((DESIGN_GRID_SIZE - 1) / GRID_STEPS)
    positive = np.arange(1, DESIGN_GRID_SIZE)
    nodes = np.concatenate((-f[positive][::-1], [0.0], f[positive], [top]))
    columns = np.concatenate((positive[::-1], [0], positive))
    signs = np.concatenate((-np.ones(positive.size), [1.0], np.ones(positive.size)))
    re_map = np.zeros((nodes.size, DESIGN_GRID_SIZE))
    im_map = np.zeros((nodes.size, DESIGN_GRID_SIZE))
    rows = np.arange(columns.size)
    re_map[rows, columns] = 1.0
    im_map[rows, columns] = signs
    return nodes, re_map, im_map


def lagrange_matrix(nodes, t):
    """Cubic Lagrange interpolation from the nodes to the points t.

    For each t the stencil is the nodes k-2 .. k+1, k the first node with
    t <= nodes[k].

    Returns
    -------
    (t.size, nodes.size) ndarray of float
    """
    L = np.zeros((t.size, nodes.size))
    for n, x in enumerate(t):
        k = int(np.argmax(x <= nodes))
        if not x <= nodes[k] or k < 2 or k + 1 >= nodes.size:
            raise ValueError(f"no cubic stencil for {x} Hz")
        stencil = nodes[k - 2:k + 2]
        for i in range(4):
            others = np.delete(stencil, i)
            L[n, k - 2 + i] = np.prod((x - others) / (stencil[i] - others))
    return L


def time_response_maps():
    """Real time responses on the 2220-tap axis as linear maps of Re H, Im H.

    Returns
    -------
    h_re, h_im : (2220, 216) ndarray of float
        h = h_re @ Re H + h_im @ Im H.
    """
    n_taps = dg.TAP_COUNT
    bins = np.arange(n_taps // 4 + 1)                 # 0 .. 555, i.e. 0 .. 24 kHz
    t = bins * SAMPLE_RATE / n_taps
    nodes, re_map, im_map = node_maps()
    L = lagrange_matrix(nodes, t)
    shift = np.exp(-2j * np.pi * bins * REFERENCE_TAP / n_taps)
    # Bin n of the spectrum for unit real / unit imaginary grid values.
    spec_re = shift[:, None] * (L @ re_map)
    spec_im = shift[:, None] * (1j * (L @ im_map))
    # h(tau) = (1/N) [Re S_0 + 2 sum_{n>=1} Re(S_n e^(j 2 pi n tau / N))]
    tau = np.arange(n_taps)
    basis = np.exp(2j * np.pi * np.outer(tau, bins) / n_taps)
    basis[:, 1:] *= 2.0
    h_re = (basis @ spec_re).real / n_taps
    h_im = (basis @ spec_im).real / n_taps
    return h_re, h_im


def fit_tables(set_index, h_maps=None):
    """W0, W1 of one set: plain least-squares fit of its kernels.

    Returns
    -------
    W0, W1 : (R, 216) ndarray of float
    """
    h_re, h_im = time_response_maps() if h_maps is None else h_maps
    B = kernels(set_index)
    gram = B @ B.T
    W0 = np.linalg.solve(gram, B @ h_re)
    W1 = np.linalg.solve(gram, B @ h_im)
    return W0, W1


def _format_values(values, per_line=4):
    items = [f"{v:.17g}" for v in values]
    lines = [", ".join(items[i:i + per_line]) for i in range(0, len(items), per_line)]
    return ",\n".join("    " + line for line in lines)


def render(tables):
    """C++ source defining the triplets and the row-major W0/W1 of every set."""
    out = [
        "// Generated by tools/make_fit_tables.py; do not edit.",
        "// Remake with: /usr/bin/python3 tools/make_fit_tables.py --output <file>",
        '#include "filters/fit_tables.h"',
        "",
        "namespace TalvekLib {",
        "namespace {",
        "",
    ]
    for s, (triplets, W0, W1) in enumerate(tables):
        out.append(f"const DifferenceTriplet kTriplets{s}[] = {{")
        for row, column, value in triplets:
            out.append(f"    {{{row}, {column}, {value}}},")
        out.append("};")
        for name, W in (("W0", W0), ("W1", W1)):
            out.append(f"const double k{name}Set{s}[] = {{")
            out.append(_format_values(W.ravel(order="C")))
            out.append("};")
        out.append("")
    out.append("}  // namespace")
    out.append("")
    out.append(f"const FitTableData kFitTables[{len(tables)}] = {{")
    for s, (triplets, W0, _) in enumerate(tables):
        out.append(f"    {{{W0.shape[0]}, kTriplets{s}, {len(triplets)}, kW0Set{s}, kW1Set{s}}},")
    out.append("};")
    out.append("")
    out.append("}  // namespace TalvekLib")
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", required=True, help="C++ file to write")
    args = parser.parse_args()
    h_maps = time_response_maps()
    tables = []
    for s in range(dg.SET_COUNT):
        W0, W1 = fit_tables(s, h_maps)
        tables.append((dg.difference_triplets(s), W0, W1))
    tmp = args.output + ".tmp"
    with open(tmp, "w") as f:
        f.write(render(tables))
    os.replace(tmp, args.output)


if __name__ == "__main__":
    main()
