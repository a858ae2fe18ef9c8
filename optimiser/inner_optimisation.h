// Fits one driver section's channel responses to the venue targets.
#pragma once

#include <vector>

#include "model/driver_data.h"
#include "optimiser/fit_cache.h"
#include "optimiser/section_response.h"
#include "optimiser/venue_items.h"

namespace TalvekLib {

// The listening directions that enter a section's fit, ordered by grid index.
struct FitDirections {
    IVector angleIndex;  // rows of the section's transfer matrices
    Vector target;       // pressure amplitude at 1 m, Pa
    Vector weight;       // 0 = left out of the level correction
};

// Merges the directions of all items (per direction the nearest crossing wins;
// at equal distance the smaller target, NaN last; then input order) and keeps
// those that take part: inactiveAsZero false = every one of gridSize directions
// (target and weight 0 where no item lies) except NaN targets; true = only the
// items' directions. Throws std::runtime_error when no item direction with a
// target (not NaN) remains, e.g. for an empty item list.
FitDirections selectFitDirections(const IVector& angleIndex, const Vector& target,
                                  const Vector& distance, const Vector& weight, int gridSize,
                                  bool inactiveAsZero);

// iterations > 0 overrides the section's own count (itpars[0], rounded half up).
// The cache, when given, keeps the decomposed Gram matrices between designs.
// Throws OutOfSight, or std::runtime_error when the items give nothing to fit.
SectionResponse optimiseSection(const DriverData& section, double p1, double p2,
                                const std::vector<VenueItem>& items, const Vector& f_timbre,
                                const Vector& dB_timbre, bool inactiveAsZero, int iterations,
                                FitCache* cache = nullptr);

// The same fit on the section's frequencies `frequencies` only (indices into
// f and H): the result of optimiseSection on a copy of the section that keeps
// just those frequencies, without copying its transfer data.
SectionResponse optimiseSection(const DriverData& section, const IVector& frequencies, double p1, double p2,
                                const std::vector<VenueItem>& items, const Vector& f_timbre,
                                const Vector& dB_timbre, bool inactiveAsZero, int iterations,
                                FitCache* cache = nullptr);

}  // namespace TalvekLib
