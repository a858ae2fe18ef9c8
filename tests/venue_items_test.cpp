// Venue items to listening directions: line of sight, section geometry,
// crossings, targets and trapezoid weights.
#include <gtest/gtest.h>

#include <cmath>

#include "core/exceptions.h"
#include "optimiser/venue_items.h"

using namespace TalvekLib;

namespace {

constexpr double kStep = 0.25;
constexpr double kDeg = 3.141592653589793 / 180.0;

VenueItem item(double x1, double z1, double x2, double z2, double level1 = 94.0, double level2 = 88.0,
               bool active = true) {
    VenueItem v;
    v.x1 = x1;
    v.z1 = z1;
    v.x2 = x2;
    v.z2 = z2;
    v.level1 = level1;
    v.level2 = level2;
    v.active = active;
    return v;
}

}  // namespace

struct SightCase {
    const char* name;
    double x;
    bool outOfSight;
};
void PrintTo(const SightCase& c, std::ostream* os) { *os << c.name; }
class LineOfSight : public ::testing::TestWithParam<SightCase> {};

// Upright column: a point is in sight exactly when x >= 0; NaN never fails.
TEST_P(LineOfSight, UprightColumnFrontPlane) {
    const std::vector<VenueItem> items = {item(5.0, 1.2, 20.0, 1.2), item(GetParam().x, 1.2, 10.0, 3.0)};
    if (GetParam().outOfSight) {
        try {
            checkLineOfSight(items, 2.5, 0.0, 0.4);
            FAIL() << "expected OutOfSight";
        } catch (const OutOfSight& e) {
            EXPECT_STREQ(e.what(), "At least one VI is out of sight.");
        }
    } else {
        EXPECT_NO_THROW(checkLineOfSight(items, 2.5, 0.0, 0.4));
    }
}
INSTANTIATE_TEST_SUITE_P(Points, LineOfSight,
                         ::testing::Values(SightCase{"Behind1mm", -0.001, true}, SightCase{"OnPlane", 0.0, false},
                                           SightCase{"Front1mm", 0.001, false},
                                           SightCase{"NaN", std::nan(""), false}),
                         [](const ::testing::TestParamInfo<SightCase>& info) { return info.param.name; });

TEST(SectionFrame, CentreOfATiltedSection) {
    const SectionFrame fr = sectionFrame(2.0, 10.0, 1.0);
    EXPECT_NEAR(fr.cx, -0.17365, 5e-6);  // five digits as tabulated
    EXPECT_NEAR(fr.cz, 2.0 + 0.98481, 5e-6);
    EXPECT_DOUBLE_EQ(fr.c * fr.c + fr.s * fr.s, 1.0);
}

// An independent crossing: solve t u = P1 + s (P2 - P1) for the ray u.
TEST(LineCrossings, MatchDirectRaySolve) {
    const double d1 = 4.0, d2 = 30.0, phi1 = -20.3, phi2 = -2.1;
    const Matrix q = lineCrossings(d1, d2, phi1, phi2, kStep);
    const Eigen::Vector2d P1(d1 * std::cos(phi1 * kDeg), d1 * std::sin(phi1 * kDeg));
    const Eigen::Vector2d P2(d2 * std::cos(phi2 * kDeg), d2 * std::sin(phi2 * kDeg));
    const int k1 = static_cast<int>(std::floor(phi1 / kStep + 0.5));
    ASSERT_EQ(q.rows(), static_cast<int>(std::floor(phi2 / kStep + 0.5)) - k1 + 1);
    for (int r = 0; r < q.rows(); ++r) {
        const double psi = (k1 + r) * kStep * kDeg;
        Eigen::Matrix2d M;
        M << std::cos(psi), -(P2 - P1).x(), std::sin(psi), -(P2 - P1).y();
        const Eigen::Vector2d ts = M.partialPivLu().solve(P1);
        // Two double-precision solves of the same 2x2 system on metre scales.
        EXPECT_NEAR(q(r, 0), std::abs(ts[0]), 1e-9);
        EXPECT_NEAR(q(r, 1), std::abs(ts[1]) * (P2 - P1).norm(), 1e-9);
    }
}

TEST(VenueDirections, EndLevelsComeBackAtTheEnds) {
    // Ends exactly on grid directions (0 and 45 degrees from the centre at
    // the origin), so the first and last crossings are the end points.
    const SectionFrame fr = sectionFrame(0.0, 0.0, 0.0);
    const VenueDirections d = venueDirections(item(10.0, 0.0, 10.0, 10.0, 100.0, 80.0), fr, false, kStep);
    const int n = d.angleIndex.size();
    ASSERT_EQ(n, 181);
    EXPECT_EQ(d.angleIndex[0], 360);
    EXPECT_EQ(d.angleIndex[n - 1], 540);
    EXPECT_NEAR(d.distance[0], 10.0, 1e-9);
    EXPECT_NEAR(d.distance[n - 1], std::sqrt(200.0), 1e-9);
    EXPECT_NEAR(d.along[n - 1], 10.0, 1e-9);
    // Free-field pressure at 1 m back to dB SPL at the crossing distance.
    auto spl = [&](int k) { return 20.0 * std::log10(d.target[k] / d.distance[k] / 2e-5); };
    EXPECT_NEAR(spl(0), 100.0, 1e-9);
    EXPECT_NEAR(spl(n - 1), 80.0, 1e-9);
    // Half way along the line the source level is the mean of the end levels.
    for (int k = 0; k < n; ++k) {
        const double L1 = 100.0 + 20.0 * std::log10(10.0) - 93.97940008672037;
        const double L2 = 80.0 + 20.0 * std::log10(std::sqrt(200.0)) - 93.97940008672037;
        EXPECT_NEAR(20.0 * std::log10(d.target[k]), L1 + (L2 - L1) * d.along[k] / 10.0, 1e-9);
    }
}

TEST(VenueDirections, DescendingEndsGiveTheSameDirections) {
    const SectionFrame fr = sectionFrame(2.5, -5.0, 0.6);
    const VenueDirections up = venueDirections(item(3.0, 1.2, 25.0, 1.2, 94.0, 88.0), fr, false, kStep);
    const VenueDirections down = venueDirections(item(25.0, 1.2, 3.0, 1.2, 88.0, 94.0), fr, false, kStep);
    EXPECT_EQ(up.angleIndex, down.angleIndex);
    EXPECT_EQ(up.distance, down.distance);
    EXPECT_EQ(up.target, down.target);
    EXPECT_EQ(up.weight, down.weight);
    // Seen from the column the near end of the floor is the lowest direction.
    EXPECT_LT(up.angleIndex[0], 360 - 100);
    EXPECT_LT(up.distance[0], up.distance[up.distance.size() - 1]);
}

// Weights: zero within a fifth of the span from the first crossing and within
// 0.2 m of the last; half the neighbour spacing elsewhere; ends always zero.
TEST(VenueDirections, TrapezoidWeightLimits) {
    const SectionFrame fr = sectionFrame(0.0, 0.0, 0.0);
    // A line facing the column at 10 m: 0.25 degree steps cross it about
    // 4.4 cm apart, so the absolute 0.2 m limit covers several crossings.
    const VenueDirections d = venueDirections(item(10.0, -5.0, 10.0, 5.0), fr, false, kStep);
    const Vector& A = d.along;
    const int n = A.size();
    const double span = A[n - 1] - A[0];
    int nearZone = 0, farZone = 0, weighted = 0;
    for (int k = 0; k < n; ++k) {
        const bool near = std::abs(A[0] - A[k]) <= 0.2 * span;
        const bool far = std::abs(A[n - 1] - A[k]) <= 0.2;
        if (k == 0 || k == n - 1 || near || far) {
            EXPECT_EQ(d.weight[k], 0.0) << "direction " << k;
            nearZone += near && !far;
            farZone += far && !near;
        } else {
            EXPECT_DOUBLE_EQ(d.weight[k], 0.5 * (A[k + 1] - A[k - 1])) << "direction " << k;
            ++weighted;
        }
    }
    EXPECT_GT(nearZone, 20);
    EXPECT_GE(farZone, 3);
    EXPECT_GT(weighted, 50);
    // The weights integrate the line: they sum to about the weighted length.
    EXPECT_NEAR(d.weight.sum(), 0.8 * span - 0.2, 0.1);
}

TEST(VenueDirections, InactiveItemTargetsFollowTheFlag) {
    const SectionFrame fr = sectionFrame(2.5, 0.0, 0.0);
    const VenueItem off = item(5.0, 1.2, 20.0, 1.2, 94.0, 88.0, false);
    const VenueDirections asNaN = venueDirections(off, fr, false, kStep);
    const VenueDirections asZero = venueDirections(off, fr, true, kStep);
    EXPECT_TRUE(asNaN.target.array().isNaN().all());
    EXPECT_TRUE((asZero.target.array() == 0.0).all());
    EXPECT_TRUE((asNaN.weight.array() == 0.0).all());
    EXPECT_TRUE((asZero.weight.array() == 0.0).all());
    EXPECT_EQ(asNaN.angleIndex, asZero.angleIndex);
}

TEST(VenueDirections, ItemOnOneGridDirection) {
    // Both ends within the same 0.25 degree cell: one direction, weight 0,
    // and a target that is not a number (two equal interpolation abscissae).
    const SectionFrame fr = sectionFrame(0.0, 0.0, 0.0);
    const VenueDirections d = venueDirections(item(10.0, 0.0, 20.0, 0.01), fr, false, kStep);
    ASSERT_EQ(d.angleIndex.size(), 1);
    EXPECT_EQ(d.angleIndex[0], 360);
    EXPECT_EQ(d.weight[0], 0.0);
    EXPECT_TRUE(std::isnan(d.target[0]));
}
