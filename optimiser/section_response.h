// A section's steering responses as they travel through the pipeline, and
// their conversions to and from the host-visible SFIO channel set.
#pragma once

#include "core/dense.h"
#include "include/talvek.h"

namespace TalvekLib {

struct SectionResponse {
    Vector freq;  // N frequencies, Hz
    CMatrix H;    // channels x N
};

// Releases a channel set's arrays and zeroes it.
void releaseChannelSet(SFIOChannelSet& set);
// Deep copy of src into dst (dst's old arrays are released first).
void copyChannelSet(const SFIOChannelSet& src, SFIOChannelSet& dst);
// Releases both channel sets and sets arraytype to 0.
void clearSFIO(SFIO& record);
// Deep copy of src into dst, releasing what dst held.
void copySFIO(const SFIO& src, SFIO& dst);

// Fills an (empty) channel set from a response.
void fillChannelSet(const SectionResponse& response, SFIOChannelSet& set);
// Reads a channel set back into a response.
SectionResponse readChannelSet(const SFIOChannelSet& set);

}  // namespace TalvekLib
