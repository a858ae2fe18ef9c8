// Digital Butterworth designs as second-order sections (bilinear transform).
#pragma once

#include "core/dense.h"

namespace TalvekLib {

// order 0..16, wn = 2 fc / fs in (0, 1). Returns ceil(order/2) rows of
// b0 b1 b2 a0 a1 a2 with the normalising gain in the first numerator only.
// Throws std::runtime_error for other orders or cut-offs.
Matrix butterSosLowpass(int order, double wn);
Matrix butterSosHighpass(int order, double wn);

}  // namespace TalvekLib
