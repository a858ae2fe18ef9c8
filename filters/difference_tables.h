// The three constant table sets of the steering-filter design: a sparse
// third-difference operator D over the 2220-tap axis, and two weight tables
// W0, W1 over the 216-point design grid that turn a complex response into
// kernel weights, w = W0 * Re H + W1 * Im H.
#pragma once

#include <vector>

#include "core/dense.h"
#include "filters/fit_tables.h"

namespace TalvekLib {

constexpr int kTapCount = 2220;        // length of the FIR tap axis
constexpr int kReferenceTap = 1109;    // responses are referred to this tap

struct DifferenceTableSet {
    IMatrix D;   // R x 2220, four nonzeros (+1 -3 +3 -1) per row
    Matrix Dt;   // D transposed, as doubles: the form every filter design multiplies by
    std::vector<DifferenceTriplet> nonzeros;  // D's nonzeros, as generated
    Matrix W0;   // R x 216, pairs with the real part
    Matrix W1;   // R x 216, pairs with the imaginary part
    int order = 3;
};

// Set 0, 1 or 2, built on first request (sets 1 and 2 together) and kept for
// the life of the process. Throws std::out_of_range for other indices.
const DifferenceTableSet& getDifferenceTableSet(int index);

}  // namespace TalvekLib
