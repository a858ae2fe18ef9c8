// Table lookup: the bracket-search rules that numpy.interp does not share
// (first point outside, forward-only search, extrapolation) and the
// magnitude/phase and log-abscissa forms. The agreement with numpy.interp
// inside the table is checked from tests/python/test_filters_vs_scipy.py.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "core/interpolation.h"

using namespace TalvekLib;

namespace {

Vector vec(std::initializer_list<double> v) {
    Vector out(static_cast<int>(v.size()));
    int i = 0;
    for (double e : v) out[i++] = e;
    return out;
}

// y = 2 x + 1 on x = 1, 2, 4: any extension of an end interval stays on that line.
const Vector kGrid = vec({1.0, 2.0, 4.0});
const Vector kLine = vec({3.0, 5.0, 9.0});

}  // namespace

TEST(Interpolation, EndPointsAndRefusedExtrapolation) {
    EXPECT_EQ(interpVector(kGrid, kLine, vec({4.0}), false)(0, 0), 9.0);  // last point is inside
    EXPECT_EQ(interpVector(kGrid, kLine, vec({1.0}), true)(0, 0), 3.0);   // first point via interval 1
    // Below the table only a first query can be refused: later ones never move back.
    for (const Vector& q : {vec({1.0}), vec({0.5}), vec({2.0, 4.5})}) {
        try {
            interpVector(kGrid, kLine, q, false);
            ADD_FAILURE() << "no error for " << q.transpose();
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "Interp failed, requested point out of lookup table.");
        }
    }
}

TEST(Interpolation, ExtrapolatesAlongEndIntervals) {
    // Kinked table: 0, 1, 3 at x = 0, 1, 2; below uses slope 1, above slope 2.
    const Matrix r = interpVector(vec({0, 1, 2}), vec({0, 1, 3}), vec({-1.0, 0.5, 1.5, 3.0}), true);
    EXPECT_DOUBLE_EQ(r(0, 0), -1.0);
    EXPECT_DOUBLE_EQ(r(1, 0), 0.5);
    EXPECT_DOUBLE_EQ(r(2, 0), 2.0);
    EXPECT_DOUBLE_EQ(r(3, 0), 5.0);
}

TEST(Interpolation, DescendingQueryStaysOnLaterInterval) {
    // After 1.5 (interval [1, 2], slope 2) the query 0.5 is not searched again:
    // it extends the upper line to 1 + 2 (0.5 - 1) = 0 instead of 0.5.
    const Matrix r = interpVector(vec({0, 1, 2}), vec({0, 1, 3}), vec({1.5, 0.5}), false);
    EXPECT_DOUBLE_EQ(r(1, 0), 0.0);
}

TEST(Interpolation, ColumnsAreIndependent) {
    Matrix Y(3, 2);
    Y << 0, 10, 1, 20, 3, 40;
    const Matrix r = interpRows(vec({0, 1, 2}), Y, vec({0.5, 1.5}), false);
    EXPECT_DOUBLE_EQ(r(0, 1), 15.0);
    EXPECT_DOUBLE_EQ(r(1, 1), 30.0);
    EXPECT_DOUBLE_EQ(r(1, 0), 2.0);
}

TEST(Interpolation, MagnitudePhaseKeepsMagnitudeBetweenEqualSamples) {
    CMatrix Y(2, 1);
    Y << Complex(1, 0), Complex(0, 1);
    const Vector x = vec({0, 1}), mid = vec({0.5});
    const Complex v = interpMagPhase(x, Y, mid, true)(0, 0);
    EXPECT_NEAR(std::abs(v), 1.0, 1e-15);
    EXPECT_NEAR(std::arg(v), kPi / 4, 1e-15);
    EXPECT_NEAR(std::abs(interpRowsComplex(x, Y, mid, true)(0, 0)), std::sqrt(0.5), 1e-15);
    EXPECT_DOUBLE_EQ(interpRowsAbs(x, Y, mid, true)(0, 0), 1.0);
}

TEST(Interpolation, LogAbscissaGeometricMeanGivesMidValue) {
    const Matrix r = interpLogX(vec({100, 400}), vec({-6, 2}), vec({200}), false);
    EXPECT_NEAR(r(0, 0), -2.0, 1e-14);
}

TEST(Interpolation, RejectsMalformedTables) {
    EXPECT_THROW(interpVector(vec({1.0}), vec({1.0}), vec({1.0}), true), std::runtime_error);
    EXPECT_THROW(interpVector(kGrid, vec({1.0, 2.0}), vec({1.5}), true), std::runtime_error);
}

TEST(Interpolation, DbToAmplitude) {
    Matrix db(1, 3);
    db << 0.0, -20.0, 6.0;
    const Matrix a = dbToAmplitude(db);
    EXPECT_EQ(a(0, 0), 1.0);
    EXPECT_NEAR(a(0, 1), 0.1, 1e-16);
    EXPECT_NEAR(a(0, 2), 1.9952623149688795, 1e-15);
}
