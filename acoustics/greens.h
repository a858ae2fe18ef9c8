// Sound field of the current design at listener points in the vertical plane.
#pragma once

#include <vector>

#include "acoustics/channel_chain_cache.h"
#include "core/lib_settings.h"
#include "filters/speaker_design.h"
#include "model/driver_data.h"
#include "model/model_data.h"

namespace TalvekLib {

struct SectionField {
    CMatrix field;                // N frequencies x P points, complex pressure
    double headroom = 0.0;        // clip headroom ratio of the section
    std::vector<bool> nearField;  // per point: closer than 0.5 m to a driver
};

struct GreensResult {
    Matrix power;        // N x P
    double headroomDb = 0.0;
};

SectionField computeSectionField(const DriverData& section, double g1, double g2,
                                 const SpeakerDesign& design, const Vector& x, const Vector& y,
                                 const IVector& freqIdx, const RefCurve& ref, const LibSettings& s,
                                 ChannelChainCache* cache = nullptr);

// i1..i2: zero-based inclusive indices into the sections' frequencies. The
// cache, when given, keeps the channels' filter responses between calls.
// Throws std::runtime_error with a clear message when the indices, the design
// or the model data do not fit together.
GreensResult computeGreens(const ModelData& model, const SpeakerDesign& design, double g1, double g2,
                           const Vector& x, const Vector& y, int i1, int i2, const RefCurve& ref,
                           const LibSettings& s, ChannelChainCache* cache = nullptr);

// re[n] + j im[n] = exp(-j 2 pi f[n] tau) for n < count: the phase factor of
// the field sum, by the same branch-free kernel (for its tests and benchmark).
void phasorsForDelay(const double* f, int count, double tau, double* re, double* im);

}  // namespace TalvekLib
