// cos and sin of whole and fractional turns, branch-free so that loops over
// them vectorise; shared by the sound-field sum and the optimiser's
// propagation phase.
#pragma once

#include "core/vector_clones.h"

namespace TalvekLib {

#ifdef __FAST_MATH__
#error "The phase reduction below relies on IEEE rounding; build without -ffast-math."
#endif

namespace turns_detail {
// Adding and subtracting 1.5 * 2^52 rounds a double of magnitude below 2^51 to
// the nearest integer, in a form the compiler can vectorise.
constexpr double kRoundMagic = 6755399441055744.0;
inline double roundToInteger(double x) { return (x + kRoundMagic) - kRoundMagic; }
}  // namespace turns_detail

// c = cos(2 pi t), s = sin(2 pi t). The turn count is split into quarter turns
// (exact) and a remainder of at most an eighth of a turn, where Taylor
// polynomials to degree 15 (sine) and 16 (cosine) are accurate to about 1e-16;
// the quarter turn then swaps and negates. Valid below 2^48 turns (a listener
// some 10^10 m away), far beyond where a double's turn count keeps any
// fractional part worth having.
inline void cosSinTurns(double t, double& c, double& s) {
    using turns_detail::roundToInteger;
    const double q = 4.0 * t;
    const double quarter = roundToInteger(q);
    const double y = (q - quarter) * 1.5707963267948966;
    const double y2 = y * y;
    const double sp =
        y + y * y2 *
                (-1.0 / 6 + y2 * (1.0 / 120 + y2 * (-1.0 / 5040 + y2 * (1.0 / 362880 +
                 y2 * (-1.0 / 39916800 + y2 * (1.0 / 6227020800.0 + y2 * (-1.0 / 1307674368000.0)))))));
    const double cp =
        1.0 + y2 * (-0.5 + y2 * (1.0 / 24 + y2 * (-1.0 / 720 + y2 * (1.0 / 40320 +
              y2 * (-1.0 / 3628800 + y2 * (1.0 / 479001600.0 + y2 * (-1.0 / 87178291200.0 +
              y2 * (1.0 / 20922789888000.0))))))));
    // Quarter turn modulo 4, in -2..2 (both ends meaning half a turn).
    const double m = quarter - 4.0 * roundToInteger(0.25 * quarter);
    const bool odd = m == 1.0 || m == -1.0;
    const double sAbs = odd ? cp : sp;
    const double cAbs = odd ? sp : cp;
    s = (m < 0.0 || m > 1.5) ? -sAbs : sAbs;
    c = (m > 0.5 || m < -1.5) ? -cAbs : cAbs;
}

}  // namespace TalvekLib
