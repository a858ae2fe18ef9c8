// Venue items seen from a driver section: which directions of the fine angle
// grid cross each audience line, how far away, with what target and weight.
#include "optimiser/venue_items.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "core/exceptions.h"
#include "core/interpolation.h"

namespace TalvekLib {

namespace {

constexpr double kDegToRad = 0.0174532925199433;
constexpr double kRadToDeg = 57.2957795130823;
// 10 log10(4.0e-10): a level re 20 micropascal expressed re 1 pascal.
const double kSplToPascalDb = 10.0 * std::log10(4.0e-10);

// Coordinate along the section's front normal; negative = behind the column.
double normalCoordinate(const SectionFrame& fr, double x, double z) {
    return (x - fr.cx) * fr.c + (z - fr.cz) * fr.s;
}

double distanceFromCentre(const SectionFrame& fr, double x, double z) {
    const double dx = x - fr.cx, dz = z - fr.cz;
    return std::sqrt(dx * dx + dz * dz);
}

// Degrees above the front normal, positive towards the top of the column.
double elevation(const SectionFrame& fr, double x, double z) {
    const double w = (z - fr.cz) * fr.c - (x - fr.cx) * fr.s;
    return std::asin(w / distanceFromCentre(fr, x, z)) * kRadToDeg;
}

// Nearest grid step, halves rounded up.
int roundToGrid(double value) { return static_cast<int>(std::floor(value + 0.5)); }

}  // namespace

SectionFrame sectionFrame(double p1, double p2, double yshift) {
    const double theta = p2 * kDegToRad;
    SectionFrame fr;
    fr.s = std::sin(theta);
    fr.c = std::cos(theta);
    fr.cx = -fr.s * yshift;
    fr.cz = p1 + fr.c * yshift;
    return fr;
}

void checkLineOfSight(const std::vector<VenueItem>& items, double p1, double p2, double yshift) {
    const SectionFrame fr = sectionFrame(p1, p2, yshift);
    for (const VenueItem& item : items) {
        // Written as "< 0" so that a NaN coordinate never fails the test.
        if (normalCoordinate(fr, item.x1, item.z1) < 0.0 || normalCoordinate(fr, item.x2, item.z2) < 0.0)
            throw OutOfSight();
    }
}

Matrix lineCrossings(double d1, double d2, double phi1, double phi2, double angleStep) {
    // The item in the section's own frame (normal, axis) as homogeneous points.
    const Eigen::Vector3d P1(d1 * std::cos(phi1 * kDegToRad), d1 * std::sin(phi1 * kDegToRad), 1.0);
    const Eigen::Vector3d P2(d2 * std::cos(phi2 * kDegToRad), d2 * std::sin(phi2 * kDegToRad), 1.0);
    const Eigen::Vector3d line = P1.cross(P2);

    const int k1 = roundToGrid(phi1 / angleStep);
    const int k2 = roundToGrid(phi2 / angleStep);
    Matrix out(std::max(k2 - k1 + 1, 0), 2);
    for (int k = k1; k <= k2; ++k) {
        const double psi = k * angleStep * kDegToRad;
        const Eigen::Vector3d ray = Eigen::Vector3d(0.0, 0.0, 1.0).cross(Eigen::Vector3d(std::cos(psi), std::sin(psi), 1.0));
        // Cramer's rule for line . (x, y, 1) = 0 and ray . (x, y, 1) = 0.
        const double det = line[0] * ray[1] - ray[0] * line[1];
        const double qx = (line[1] * ray[2] - ray[1] * line[2]) / det;
        const double qy = (ray[0] * line[2] - line[0] * ray[2]) / det;
        out(k - k1, 0) = std::sqrt(qx * qx + qy * qy);
        out(k - k1, 1) = std::sqrt((qx - P1[0]) * (qx - P1[0]) + (qy - P1[1]) * (qy - P1[1]));
    }
    return out;
}

VenueDirections venueDirections(const VenueItem& item, const SectionFrame& frame, bool inactiveAsZero,
                                double angleStep) {
    double x1 = item.x1, z1 = item.z1, level1 = item.level1;
    double x2 = item.x2, z2 = item.z2, level2 = item.level2;
    double phi1 = elevation(frame, x1, z1), phi2 = elevation(frame, x2, z2);
    // A NaN coordinate, or an end at the section centre itself, has no direction.
    if (!std::isfinite(phi1) || !std::isfinite(phi2))
        throw std::runtime_error("A venue item end point has no direction from the column.");
    int i1 = roundToGrid((phi1 + 90.0) / angleStep);
    int i2 = roundToGrid((phi2 + 90.0) / angleStep);
    if (i1 > i2) {  // from here on the first end is the lower one
        std::swap(x1, x2);
        std::swap(z1, z2);
        std::swap(level1, level2);
        std::swap(phi1, phi2);
        std::swap(i1, i2);
    }
    const int n = i2 - i1 + 1;

    const double d1 = distanceFromCentre(frame, x1, z1);
    const double d2 = distanceFromCentre(frame, x2, z2);
    const double L1 = level1 + 10.0 * std::log10(d1 * d1) + kSplToPascalDb;
    const double L2 = level2 + 10.0 * std::log10(d2 * d2) + kSplToPascalDb;

    const Matrix crossings = lineCrossings(d1, d2, phi1, phi2, angleStep);
    // The two roundings of an elevation on the grid agree except for values a
    // rounding error away from a half step; never index past the crossings.
    if (crossings.rows() != n)
        throw std::runtime_error("Venue item directions could not be placed on the angle grid.");

    VenueDirections out;
    out.angleIndex = IVector::LinSpaced(n, i1, i2);
    out.distance = crossings.col(0);
    out.along = crossings.col(1);
    out.weight = Vector::Zero(n);
    const Vector& A = out.along;

    if (!item.active) {
        out.target = Vector::Constant(n, inactiveAsZero ? 0.0 : std::nan(""));
        return out;
    }

    // Source levels interpolated along the line, then as pressure at 1 m.
    const Vector grid = (Vector(2) << A[0], A[n - 1]).finished();
    const Vector levels = (Vector(2) << L1, L2).finished();
    out.target = dbToAmplitude(interpVector(grid, levels, A, true)).col(0);

    // Trapezoid weights along the line, leaving out the near fifth of the
    // span and the last 0.2 m (the far end's limit is absolute, not scaled).
    const double span = A[n - 1] - A[0];
    for (int k = 1; k < n - 1; ++k) {
        if (std::abs(A[0] - A[k]) > 0.2 * span && std::abs(A[n - 1] - A[k]) > 0.2)
            out.weight[k] = std::abs((A[k + 1] - A[k - 1]) * 0.5);
    }
    return out;
}

}  // namespace TalvekLib
