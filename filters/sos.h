// Responses of cascades of second-order sections held one per row
// (b0 b1 b2 a0 a1 a2; a single column is read as one row).
#pragma once

#include "core/dense.h"

namespace TalvekLib {

// Digital sections at sample rate fs. showstep 0: nf x 1 cascade response;
// showstep 1: nf x nsec, one column per section. Fewer than two sections
// always give the per-section form. Other values throw std::runtime_error.
CMatrix H_sos(const Matrix& sos, const Vector& f, double fs, int showstep);

// Analog sections (polynomials in s = j 2 pi f), same conventions.
CMatrix H_sos_s(const Matrix& sos, const Vector& f, int showstep);

}  // namespace TalvekLib
