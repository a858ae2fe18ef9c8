// The host's venue table (viCount x 7 doubles, column-major) as venue items.
#pragma once

#include <vector>

#include "optimiser/venue_items.h"

namespace TalvekLib {

// Column c of row r is vi[r + c * viCount]: x1, x2, z1, z2, level1, level2,
// active flag (non-zero, NaN included, is active). Throws std::runtime_error
// for an empty or null table and for coordinates or levels that are not
// finite or absurdly large.
std::vector<VenueItem> readVenueTable(int viCount, const double* vi);

}  // namespace TalvekLib
