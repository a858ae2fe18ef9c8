// Fits one driver section's channel responses to the venue targets.
#pragma once

#include <vector>

#include "model/driver_data.h"
#include "optimiser/section_response.h"
#include "optimiser/venue_items.h"

namespace TalvekLib {

// iterations > 0 overrides the section's own count (itpars[0], rounded half up).
// Throws OutOfSight, or std::runtime_error when the items give nothing to fit.
SectionResponse optimiseSection(const DriverData& section, double p1, double p2,
                                const std::vector<VenueItem>& items, const Vector& f_timbre,
                                const Vector& dB_timbre, bool inactiveAsZero, int iterations);

}  // namespace TalvekLib
