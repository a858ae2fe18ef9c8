#include "api/venue_table.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace TalvekLib {

namespace {

// Venues are at most kilometres across and levels a few hundred dB; anything
// beyond is a host error that would only produce meaningless geometry.
constexpr double kMaxCoordinate = 1.0e5;  // m
constexpr double kMaxLevel = 1.0e3;       // dB

double checked(double value, double limit, int row, const char* what) {
    if (!std::isfinite(value) || std::fabs(value) > limit) {
        throw std::runtime_error("Talvek_Optimizer: venue item " + std::to_string(row + 1) + " has an invalid " +
                                 what + ".");
    }
    return value;
}

}  // namespace

std::vector<VenueItem> readVenueTable(int viCount, const double* vi) {
    if (viCount <= 0) throw std::runtime_error("Talvek_Optimizer: the venue table has no items.");
    if (vi == nullptr) throw std::runtime_error("Talvek_Optimizer: vi is a null pointer.");
    std::vector<VenueItem> items;
    items.reserve(static_cast<std::size_t>(viCount));
    const std::size_t n = static_cast<std::size_t>(viCount);
    auto at = [&](int r, int c) { return vi[static_cast<std::size_t>(r) + c * n]; };
    for (int r = 0; r < viCount; ++r) {
        VenueItem item;
        item.x1 = checked(at(r, 0), kMaxCoordinate, r, "coordinate");
        item.x2 = checked(at(r, 1), kMaxCoordinate, r, "coordinate");
        item.z1 = checked(at(r, 2), kMaxCoordinate, r, "coordinate");
        item.z2 = checked(at(r, 3), kMaxCoordinate, r, "coordinate");
        item.level1 = checked(at(r, 4), kMaxLevel, r, "level");
        item.level2 = checked(at(r, 5), kMaxLevel, r, "level");
        item.active = at(r, 6) != 0.0;  // a NaN flag counts as active
        items.push_back(item);
    }
    return items;
}

}  // namespace TalvekLib
