// Quantisation of real steering weights into sparse integer FIR filters.
#pragma once

#include "filters/difference_tables.h"
#include "filters/speaker_design.h"

namespace TalvekLib {

// Power-of-two headroom of a positive value within a 32-bit range:
// 32 - trunc(ln v / ln 2 + 1 - 1e-9).
int headroomBits(double v);

// W: R x channels real weights for the set's kernels; n running-sum stages.
// Returns order, delaypick, weights and outputshifts (outputgain untouched).
// Throws FractionalCoefs or std::runtime_error
// "Unexpected Coefficient Clipping in TalvekFIR design process!".
ChannelDesign designFirWeights(const Matrix& W, const DifferenceTableSet& set, int n);

}  // namespace TalvekLib
