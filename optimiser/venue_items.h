// Venue items (audience lines in the vertical section) and the listening
// directions on the fine angle grid that they become.
#pragma once

#include <vector>

#include "core/dense.h"

namespace TalvekLib {

struct VenueItem {
    double x1 = 0.0, x2 = 0.0;          // horizontal end coordinates, m, positive in front
    double z1 = 0.0, z2 = 0.0;          // end heights, m
    double level1 = 0.0, level2 = 0.0;  // target levels at the ends, dB SPL
    bool active = true;
};

// Geometry of one section of the column in the vertical plane.
struct SectionFrame {
    double cx = 0.0, cz = 0.0;  // section centre
    double c = 1.0, s = 0.0;    // cos and sin of the tilt
};

SectionFrame sectionFrame(double p1, double p2, double yshift);

struct VenueDirections {
    IVector angleIndex;  // index on the fine angle grid (0 = -90 degrees)
    Vector target;       // pressure amplitude at 1 m, Pa (NaN or 0 for inactive items)
    Vector distance;     // m, section centre to the crossing
    Vector along;        // m, along the item from its first end
    Vector weight;       // fit weight, 0 = not fitted
};

// Throws OutOfSight when an end point of any item lies behind the section's front plane.
void checkLineOfSight(const std::vector<VenueItem>& items, double p1, double p2, double yshift);

VenueDirections venueDirections(const VenueItem& item, const SectionFrame& frame, bool inactiveAsZero,
                                double angleStep);

// For the grid directions between phi1 and phi2 (degrees): column 0 the
// distance to the line through the ends, column 1 the position along it.
Matrix lineCrossings(double d1, double d2, double phi1, double phi2, double angleStep);

}  // namespace TalvekLib
