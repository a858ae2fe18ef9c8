// Maps a normalised section response onto the design grid of a table set and
// designs the section's quantised FIR steering filters.
#pragma once

#include "filters/speaker_design.h"

namespace TalvekLib {

// A section's responses divided by their peak magnitude.
struct NormalisedResponse {
    Vector freq;   // N frequencies, Hz
    CMatrix H;     // channels x N
    double peak = 0.0;
};

// Table set 0 when useSet12 is false, 2 when useSet12 and highBand, else 1.
// withDc adds a real DC point from each channel's lowest frequency; highBand
// maps the N frequencies onto the last N design columns instead of 1..N.
ChannelDesign designChannelFilters(const NormalisedResponse& response, bool withDc, bool useSet12,
                                   bool highBand);

}  // namespace TalvekLib
