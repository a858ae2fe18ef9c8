// The direction merge and the per-frequency fit, on synthetic sections with
// random transfer data (no model archive needed).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>

#include "core/exceptions.h"
#include "core/lib_settings.h"
#include "optimiser/inner_optimisation.h"

using namespace TalvekLib;

namespace {

const double kNaN = std::nan("");

// 721 grid directions in radians, random complex transfer data, one beta.
WfData syntheticSection(int drivers, const Vector& f, unsigned seed = 7) {
    WfData s;
    s.phi = Vector::LinSpaced(721, -kPi / 2, kPi / 2);
    s.driverpos = Vector::LinSpaced(drivers, 0.0, 0.1 * (drivers - 1));
    s.f = f;
    s.beta = Vector::Constant(1, 1.0);
    s.itpars = Vector::Constant(1, 4.0);
    s.Nboxes = (drivers + 7) / 8;
    std::mt19937 rng(seed);
    std::normal_distribution<double> normal;
    for (int c = 0; c < f.size(); ++c) {
        CMatrix H(721, drivers);
        for (int d = 0; d < drivers; ++d)
            for (int j = 0; j < 721; ++j) H(j, d) = Complex(normal(rng), normal(rng));
        s.H.push_back(H);
    }
    return s;
}

VenueItem floorLine(double x1, double x2, double z, double level1 = 94.0, double level2 = 88.0) {
    VenueItem v;
    v.x1 = x1;
    v.x2 = x2;
    v.z1 = z;
    v.z2 = z;
    v.level1 = level1;
    v.level2 = level2;
    return v;
}

const Vector kFlatF = (Vector(3) << 100.0, 1000.0, 10000.0).finished();
const Vector kFlatDb = Vector::Zero(3);
const Vector kFreqs = (Vector(3) << 200.0, 1000.0, 5000.0).finished();

// The transfer rows of the directions of one item, as the fit sees them
// with all drivers at position 0 (no propagation phase).
CMatrix rowsOf(const CMatrix& H, const IVector& rows) {
    CMatrix G(rows.size(), H.cols());
    for (int j = 0; j < rows.size(); ++j) G.row(j) = H.row(rows[j]);
    return G;
}

}  // namespace

// ---------------------------------------------------------------- the merge

TEST(DirectionMerge, NearerCrossingWinsAndResultIsOrderedByDirection) {
    const IVector idx = (IVector(4) << 7, 5, 5, 6).finished();
    const Vector target = (Vector(4) << 3.0, 1.0, 2.0, 4.0).finished();
    const Vector distance = (Vector(4) << 6.0, 10.0, 4.0, 1.0).finished();
    const Vector weight = (Vector(4) << 0.3, 0.1, 0.2, 0.4).finished();
    const FitDirections fit = selectFitDirections(idx, target, distance, weight, 721, true);
    EXPECT_EQ(fit.angleIndex, (IVector(3) << 5, 6, 7).finished());
    EXPECT_EQ(fit.target, (Vector(3) << 2.0, 4.0, 3.0).finished());
    EXPECT_EQ(fit.weight, (Vector(3) << 0.2, 0.4, 0.3).finished());
}

TEST(DirectionMerge, EqualDistanceTiesPreferNumbersThenInputOrder) {
    // Direction 3: NaN listed first loses to a number at the same distance.
    // Direction 4: the smaller target wins. Direction 9: full tie, first listed wins.
    const IVector idx = (IVector(6) << 3, 3, 4, 4, 9, 9).finished();
    const Vector target = (Vector(6) << kNaN, 5.0, 2.0, 1.0, 7.0, 7.0).finished();
    const Vector distance = (Vector(6) << 2.0, 2.0, 3.0, 3.0, 8.0, 8.0).finished();
    const Vector weight = (Vector(6) << 0.1, 0.2, 0.3, 0.4, 0.5, 0.6).finished();
    const FitDirections fit = selectFitDirections(idx, target, distance, weight, 721, true);
    EXPECT_EQ(fit.angleIndex, (IVector(3) << 3, 4, 9).finished());
    EXPECT_EQ(fit.target, (Vector(3) << 5.0, 1.0, 7.0).finished());
    EXPECT_EQ(fit.weight, (Vector(3) << 0.2, 0.4, 0.5).finished());
}

TEST(DirectionMerge, NearerInactiveItemShadowsTheDirection) {
    // Direction 5: an inactive (NaN) crossing in front of an active one.
    const IVector idx = (IVector(3) << 5, 5, 6).finished();
    const Vector target = (Vector(3) << 2.0, kNaN, 3.0).finished();
    const Vector distance = (Vector(3) << 8.0, 3.0, 8.0).finished();
    const Vector weight = (Vector(3) << 0.5, 0.0, 0.5).finished();
    const FitDirections fit = selectFitDirections(idx, target, distance, weight, 10, false);
    // The whole 10-direction grid takes part except the shadowed direction.
    EXPECT_EQ(fit.angleIndex, (IVector(9) << 0, 1, 2, 3, 4, 6, 7, 8, 9).finished());
    EXPECT_EQ(fit.target, (Vector(9) << 0, 0, 0, 0, 0, 3.0, 0, 0, 0).finished());
    EXPECT_EQ(fit.weight, (Vector(9) << 0, 0, 0, 0, 0, 0.5, 0, 0, 0).finished());
}

TEST(DirectionMerge, NothingToFitIsRefused) {
    const IVector none(0);
    const Vector empty(0);
    const IVector idx = (IVector(2) << 1, 2).finished();
    const Vector nan2 = Vector::Constant(2, kNaN), zero2 = Vector::Zero(2);
    for (bool asZero : {false, true}) {
        try {
            selectFitDirections(none, empty, empty, empty, 721, asZero);
            FAIL() << "expected a refusal";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "No venue item gives a direction to fit.");
        }
    }
    EXPECT_THROW(selectFitDirections(idx, nan2, zero2, zero2, 721, false), std::runtime_error);
}

// ---------------------------------------------------------------- the fit

TEST(OptimiseSection, RefusesOutOfSightAndEmptyVenues) {
    const WfData s = syntheticSection(8, kFreqs);
    EXPECT_THROW(optimiseSection(s, 2.5, 0.0, {floorLine(-0.001, 20.0, 1.2)}, kFlatF, kFlatDb, false, 1),
                 OutOfSight);
    EXPECT_THROW(optimiseSection(s, 2.5, 0.0, {}, kFlatF, kFlatDb, false, 1), std::runtime_error);
    EXPECT_THROW(optimiseSection(s, 2.5, 0.0, {}, kFlatF, kFlatDb, true, 1), std::runtime_error);
}

TEST(OptimiseSection, OwnIterationCountRoundsHalfUp) {
    const std::vector<VenueItem> items = {floorLine(3.0, 25.0, 1.2)};
    WfData s = syntheticSection(8, kFreqs);
    auto run = [&](int n) { return optimiseSection(s, 2.5, 0.0, items, kFlatF, kFlatDb, false, n).H; };
    const CMatrix two = run(2), three = run(3);
    ASSERT_NE(two, three);  // the iterations do change the result
    s.itpars[0] = 2.5;
    EXPECT_EQ(run(0), three);
    s.itpars[0] = 2.49;
    EXPECT_EQ(run(0), two);
    EXPECT_EQ(run(-1), two);
    EXPECT_EQ(run(3), three);  // a positive count overrides the section's own
}

// One iteration solves (G^H G, diagonal scaled by beta) x = G^H T. beta = 1
// is the plain least-squares fit, which an SVD of G gives independently;
// beta per box of eight channels scales only those channels' diagonal,
// checked against an LDLT solve of the loaded matrix.
class OneSolve : public ::testing::TestWithParam<std::vector<double>> {};

TEST_P(OneSolve, MatchesAnIndependentSolver) {
    const std::vector<double>& beta = GetParam();
    const int drivers = beta.size() > 1 ? 8 * static_cast<int>(beta.size()) : 8;
    WfData s = syntheticSection(drivers, kFreqs);
    s.driverpos.setZero();  // no propagation phase: G is the raw rows
    s.beta = Eigen::Map<const Vector>(beta.data(), beta.size());
    s.Nboxes = drivers / 8;
    const VenueItem line = floorLine(3.0, 25.0, 1.2);
    const SectionResponse r = optimiseSection(s, 2.5, 0.0, {line}, kFlatF, kFlatDb, true, 1);
    const VenueDirections d = venueDirections(line, sectionFrame(2.5, 0.0, 0.0), true, 0.25);
    ASSERT_EQ(r.freq, s.f);
    for (int c = 0; c < s.f.size(); ++c) {
        const CMatrix G = rowsOf(s.H[c], d.angleIndex);
        const CVector t = d.target.cast<Complex>();
        CVector expected;
        if (beta.size() == 1 && beta[0] == 1.0) {
            expected = G.jacobiSvd(Eigen::ComputeThinU | Eigen::ComputeThinV).solve(t);
        } else {
            CMatrix A = G.adjoint() * G;
            for (int i = 0; i < drivers; ++i) A(i, i) *= beta.size() > 1 ? beta[i / 8] : beta[0];
            expected = A.ldlt().solve(G.adjoint() * t);
        }
        // Normal equations square a condition number of a few: 1e-10 is ample.
        EXPECT_LT((r.H.col(c) - expected).norm(), 1e-10 * expected.norm()) << "frequency " << c;
    }
}
INSTANTIATE_TEST_SUITE_P(Beta, OneSolve,
                         ::testing::Values(std::vector<double>{1.0}, std::vector<double>{1.2},
                                           std::vector<double>{1.5, 3.0}));

// Data that already carry the inverse of each driver's propagation term, exp(-2 pi j f tau)
// (tau = phi x position / 343, phi as stored) leave the fit the same shape:
// the channel responses only turn by the mean delay's phase.
TEST(OptimiseSection, PropagationPhaseUsesStoredPhiAndTheMeanDelay) {
    const WfData plain = [] {
        WfData s = syntheticSection(8, kFreqs);
        s.driverpos.setZero();
        return s;
    }();
    WfData delayed = plain;
    delayed.driverpos = Vector::LinSpaced(8, 0.3, 1.0);
    for (int c = 0; c < kFreqs.size(); ++c)
        for (int d = 0; d < 8; ++d)
            for (int j = 0; j < 721; ++j)
                delayed.H[c](j, d) *= std::polar(1.0, -2 * kPi * kFreqs[c] * delayed.phi[j] * delayed.driverpos[d] / 343.0);

    const VenueItem line = floorLine(3.0, 25.0, 1.2);
    const SectionResponse a = optimiseSection(plain, 2.5, 0.0, {line}, kFlatF, kFlatDb, true, 3);
    const SectionResponse b = optimiseSection(delayed, 2.5, 0.0, {line}, kFlatF, kFlatDb, true, 3);
    const VenueDirections d = venueDirections(line, sectionFrame(2.5, 0.0, 0.0), true, 0.25);
    double meanPhi = 0.0;
    for (int j = 0; j < d.angleIndex.size(); ++j) meanPhi += plain.phi[d.angleIndex[j]];
    meanPhi /= d.angleIndex.size();
    const double meanTau = meanPhi * delayed.driverpos.mean() / 343.0;
    ASSERT_GT(std::abs(meanTau), 1e-4);
    for (int c = 0; c < kFreqs.size(); ++c) {
        const CVector expected = a.H.col(c) * std::polar(1.0, 2 * kPi * kFreqs[c] * meanTau);
        EXPECT_LT((b.H.col(c) - expected).norm(), 1e-9 * expected.norm()) << "frequency " << c;
    }
}

// The fit is linear in the targets, so the timbre curve (linear in log
// frequency, in dB) scales each frequency's channel responses by its gain.
TEST(OptimiseSection, TimbreScalesEachFrequency) {
    const WfData s = syntheticSection(8, kFreqs);
    const std::vector<VenueItem> items = {floorLine(3.0, 25.0, 1.2)};
    const Vector tiltDb = (Vector(3) << 0.0, -6.0, -12.0).finished();
    const SectionResponse flat = optimiseSection(s, 2.5, 0.0, items, kFlatF, kFlatDb, false, 4);
    const SectionResponse tilt = optimiseSection(s, 2.5, 0.0, items, kFlatF, tiltDb, false, 4);
    for (int c = 0; c < kFreqs.size(); ++c) {
        const double db = -6.0 * std::log10(kFreqs[c] / 100.0);  // -6 dB per decade
        EXPECT_LT((tilt.H.col(c) - flat.H.col(c) * std::pow(10.0, db / 20.0)).norm(), 1e-9 * flat.H.col(c).norm());
    }
}

// Without a direction of non-zero weight the level correction is NaN and the
// desired magnitudes never move, so more iterations change nothing.
TEST(OptimiseSection, NoWeightedDirectionKeepsTheFirstSolve) {
    const WfData s = syntheticSection(8, kFreqs);
    // Three directions close to the column: all inside the end limits.
    const VenueItem shortLine = floorLine(3.0, 3.05, 1.2);
    const VenueDirections d = venueDirections(shortLine, sectionFrame(2.5, 0.0, 0.0), true, 0.25);
    ASSERT_GE(d.angleIndex.size(), 2);
    ASSERT_TRUE((d.weight.array() == 0.0).all());
    const CMatrix once = optimiseSection(s, 2.5, 0.0, {shortLine}, kFlatF, kFlatDb, true, 1).H;
    EXPECT_EQ(optimiseSection(s, 2.5, 0.0, {shortLine}, kFlatF, kFlatDb, true, 6).H, once);
    // With weighted directions the iterations do move the solution.
    const VenueItem longLine = floorLine(3.0, 25.0, 1.2);
    EXPECT_NE(optimiseSection(s, 2.5, 0.0, {longLine}, kFlatF, kFlatDb, true, 1).H,
              optimiseSection(s, 2.5, 0.0, {longLine}, kFlatF, kFlatDb, true, 6).H);
}
