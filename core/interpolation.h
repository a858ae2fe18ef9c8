// Piecewise-linear table lookup with optional linear extrapolation.
//
// All routines share one bracket search: the search position starts at 0 and
// only moves forward, so queries must ascend (a smaller query is evaluated on
// the interval found for the previous one). A query equal to x[0] counts as
// outside the table; a query equal to x[n-1] is inside. Outside the table the
// first or last interval is extended, or, with extrapolation refused, the call
// throws std::runtime_error "Interp failed, requested point out of lookup table.".
// Cost O(n + q) per call.
#pragma once

#include <vector>

#include "core/dense.h"

namespace TalvekLib {

// Each column of Y (n x m) linear in x; result q x m.
Matrix interpRows(const Vector& x, const Matrix& Y, const Vector& xq, bool allowExtrapolation);
// A single curve; result q x 1.
Matrix interpVector(const Vector& x, const Vector& y, const Vector& xq, bool allowExtrapolation);
// Real and imaginary parts linear in x.
CMatrix interpRowsComplex(const Vector& x, const CMatrix& Y, const Vector& xq, bool allowExtrapolation);
// Magnitudes |Y| linear in x.
Matrix interpRowsAbs(const Vector& x, const CMatrix& Y, const Vector& xq, bool allowExtrapolation);
// Interpolated magnitude with the phase of the interpolated complex value.
// Its two lookups always extrapolate, whatever allowExtrapolation says.
CMatrix interpMagPhase(const Vector& x, const CMatrix& Y, const Vector& xq, bool allowExtrapolation);

// interpMagPhase for many tables on one grid x and one query list xq (both
// kept by reference): the bracket search runs once, and the magnitudes of each
// table go to one reused buffer. Same values as interpMagPhase.
class MagPhaseResampler {
public:
    MagPhaseResampler(const Vector& x, const Vector& xq);
    CMatrix operator()(const CMatrix& Y);
    // Into out, which must already be xq.size() x Y.cols() (no allocation
    // but the magnitude buffer's first).
    void operator()(const CMatrix& Y, CMatrix& out);

private:
    const Vector& x_;
    const Vector& xq_;
    std::vector<int> upper_;
    Matrix magnitudes_;
};

// Linear in ln x (grid and queries positive); result q x 1.
Matrix interpLogX(const Vector& x, const Vector& y, const Vector& xq, bool allowExtrapolation);

// 10^(v/20) for every entry.
Matrix dbToAmplitude(const Matrix& levelsDb);

}  // namespace TalvekLib
