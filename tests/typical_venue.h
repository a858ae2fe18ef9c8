// The venue the quality figures are quoted for: a floor audience line at ear
// height (1.2 m) from 3 m to 25 m in front of the column, 94 dB SPL near and
// 88 dB SPL far.
#pragma once

#include "optimiser/venue_items.h"

namespace talvek_test {

inline TalvekLib::VenueItem typicalAudienceLine() {
    TalvekLib::VenueItem v;
    v.x1 = 3.0;
    v.x2 = 25.0;
    v.z1 = v.z2 = 1.2;
    v.level1 = 94.0;
    v.level2 = 88.0;
    return v;
}

}  // namespace talvek_test
