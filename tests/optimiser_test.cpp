// The optimiser layer: venue items as listening directions, the direction
// merge, the per-frequency fit against independent solvers, the SFIO record
// and the design pipeline on the bundled models.
#include <gtest/gtest.h>

#include <cstdlib>

#include <cmath>
#include <random>
#include <stdexcept>

#include "core/exceptions.h"
#include "filters/channel_filter_design.h"
#include "filters/sos.h"
#include "core/lib_settings.h"
#include "model/model_cache.h"
#include "optimiser/design_pipeline.h"
#include "optimiser/inner_optimisation.h"
#include "optimiser/section_response.h"
#include "optimiser/structured_gram.h"
#include "optimiser/venue_items.h"
#include "test_support.h"
#include "tests/typical_venue.h"

using namespace TalvekLib;

namespace {

constexpr double kStep = 0.25;
constexpr double kDeg = kPi / 180.0;
const double kNaN = std::nan("");

VenueItem item(double x1, double z1, double x2, double z2, double level1 = 94.0, double level2 = 88.0,
               bool active = true) {
    VenueItem v;
    v.x1 = x1, v.z1 = z1, v.x2 = x2, v.z2 = z2, v.level1 = level1, v.level2 = level2, v.active = active;
    return v;
}

}  // namespace

// ---------------------------------------------------------------- venue items

// A point is in sight when it lies on or in front of the section's front
// plane; NaN never fails the test.
TEST(VenueItems, LineOfSightAndTheSectionFrame) {
    const struct { double x; bool outOfSight; } upright[] = {{-0.001, true}, {0.0, false}, {0.001, false}, {kNaN, false}};
    for (const auto& c : upright)
        EXPECT_EQ(talvek_test::errorOf([&] { checkLineOfSight({item(5, 1.2, 20, 1.2), item(c.x, 1.2, 10, 3)}, 2.5, 0, 0.4); }),
                  c.outOfSight ? "At least one VI is out of sight." : "") << c.x;
    // Tilted up 30 degrees, the plane through (0, 2.5) leans back: the second
    // end (1, -1) is behind it, the first (5, 5) in front.
    EXPECT_THROW(checkLineOfSight({item(5, 5, 1, -1)}, 2.5, 30, 0), OutOfSight);
    EXPECT_THROW(checkLineOfSight({item(1, -1, 5, 5)}, 2.5, 30, 0), OutOfSight);
    EXPECT_NO_THROW(checkLineOfSight({item(5, 5, 3, -1)}, 2.5, 30, 0));
    const SectionFrame fr = sectionFrame(2.0, 10.0, 1.0);
    EXPECT_NEAR(fr.cx, -0.17365, 5e-6);
    EXPECT_NEAR(fr.cz, 2.0 + 0.98481, 5e-6);
}

// Ends on grid directions (0 and 45 degrees from a centre at the origin): the
// end levels come back at the ends, the source level is linear in dB along the
// line, and the trapezoid weights leave out the near fifth and the last 0.2 m.
TEST(VenueItems, DirectionsTargetsAndWeights) {
    const SectionFrame fr = sectionFrame(0.0, 0.0, 0.0);
    const VenueDirections d = venueDirections(item(10, 0, 10, 10, 100, 80), fr, false, kStep);
    const int n = d.angleIndex.size();
    ASSERT_EQ(n, 181);
    EXPECT_EQ(d.angleIndex[0], 360);
    EXPECT_NEAR(d.distance[n - 1], std::sqrt(200.0), 1e-9);
    EXPECT_NEAR(d.along[n - 1], 10.0, 1e-9);
    const double L1 = 100 + 20 * std::log10(10.0) - 93.97940008672037;  // Pa at 1 m, in dB
    const double L2 = 80 + 20 * std::log10(std::sqrt(200.0)) - 93.97940008672037;
    for (int k = 0; k < n; ++k) {
        EXPECT_NEAR(20 * std::log10(d.target[k]), L1 + (L2 - L1) * d.along[k] / 10.0, 1e-9);
        const bool left = k == 0 || k == n - 1 || d.along[k] - d.along[0] <= 0.2 * (d.along[n - 1] - d.along[0]) ||
                          d.along[n - 1] - d.along[k] <= 0.2;
        EXPECT_DOUBLE_EQ(d.weight[k], left ? 0.0 : 0.5 * (d.along[k + 1] - d.along[k - 1])) << k;
    }
    // Descending ends give the same directions; inactive items a NaN or 0 target.
    const SectionFrame tilted = sectionFrame(2.5, -5.0, 0.6);
    const VenueDirections up = venueDirections(item(3, 1.2, 25, 1.2, 94, 88), tilted, false, kStep);
    const VenueDirections down = venueDirections(item(25, 1.2, 3, 1.2, 88, 94), tilted, false, kStep);
    EXPECT_EQ(up.angleIndex, down.angleIndex);
    EXPECT_EQ(up.target, down.target);
    EXPECT_EQ(up.weight, down.weight);
    EXPECT_LT(up.distance[0], up.distance[up.distance.size() - 1]);  // near end lowest
    const VenueItem off = item(3, 1.2, 25, 1.2, 94, 88, false);
    EXPECT_TRUE(venueDirections(off, tilted, false, kStep).target.array().isNaN().all());
    EXPECT_TRUE((venueDirections(off, tilted, true, kStep).target.array() == 0.0).all());
}

// ---------------------------------------------------------------- the fit

// Per direction the nearest crossing wins; at equal distance a number beats
// NaN, then the smaller target, then input order. Without inactiveAsZero the
// whole grid takes part except directions an inactive item shadows.
TEST(InnerOptimisation, DirectionMerge) {
    const FitDirections a = selectFitDirections((IVector(9) << 7, 5, 5, 3, 3, 9, 9, 4, 4).finished(),
                                                (Vector(9) << 3, 1, 2, kNaN, 5, 7, 7, 2, 1).finished(),
                                                (Vector(9) << 6, 10, 4, 2, 2, 8, 8, 3, 3).finished(),
                                                (Vector(9) << .3, .1, .2, .4, .5, .6, .7, .8, .9).finished(), 721, true);
    EXPECT_EQ(a.angleIndex, (IVector(5) << 3, 4, 5, 7, 9).finished());
    EXPECT_EQ(a.target, (Vector(5) << 5, 1, 2, 3, 7).finished());
    EXPECT_EQ(a.weight, (Vector(5) << .5, .9, .2, .3, .6).finished());
    const FitDirections b = selectFitDirections((IVector(3) << 5, 5, 6).finished(), (Vector(3) << 2, kNaN, 3).finished(),
                                                (Vector(3) << 8, 3, 8).finished(), (Vector(3) << .5, 0, .5).finished(), 10, false);
    EXPECT_EQ(b.angleIndex, (IVector(9) << 0, 1, 2, 3, 4, 6, 7, 8, 9).finished());
    EXPECT_EQ(b.target, (Vector(9) << 0, 0, 0, 0, 0, 3, 0, 0, 0).finished());
    EXPECT_THROW(selectFitDirections(IVector(0), Vector(0), Vector(0), Vector(0), 721, true), std::runtime_error);
    EXPECT_THROW(selectFitDirections((IVector(1) << 1).finished(), Vector::Constant(1, kNaN), Vector::Zero(1),
                                     Vector::Zero(1), 721, false), std::runtime_error);
}

namespace {

const Vector kFlatF = (Vector(3) << 100.0, 1000.0, 10000.0).finished();
const Vector kFlatDb = Vector::Zero(3);
const Vector kFreqs = (Vector(3) << 200.0, 1000.0, 5000.0).finished();

// 721 directions in radians, random complex transfer data, one beta.
WfData syntheticSection(int drivers) {
    WfData s;
    s.phi = Vector::LinSpaced(721, -kPi / 2, kPi / 2);
    s.driverpos = Vector::LinSpaced(drivers, 0.0, 0.1 * (drivers - 1));
    s.f = kFreqs;
    s.beta = Vector::Constant(1, 1.0);
    s.itpars = Vector::Constant(1, 4.0);
    s.Nboxes = (drivers + 7) / 8;
    std::mt19937 rng(7);
    std::normal_distribution<double> normal;
    for (int c = 0; c < kFreqs.size(); ++c) {
        s.H.push_back(CMatrix(721, drivers));
        for (int d = 0; d < drivers; ++d)
            for (int j = 0; j < 721; ++j) s.H[c](j, d) = Complex(normal(rng), normal(rng));
    }
    return s;
}

const VenueItem kLine = item(3.0, 1.2, 25.0, 1.2);

SectionResponse fit(const WfData& s, int iterations, const Vector& dB = kFlatDb, bool asZero = true,
                    const VenueItem& line = kLine) {
    return optimiseSection(s, 2.5, 0.0, {line}, kFlatF, dB, asZero, iterations);
}

}  // namespace

// Two kinds of driver alternating along three boxes of four with gaps between
// the boxes: the Gram matrix from the structure equals G^H G formed directly.
// Drivers of all different kinds at uneven positions share nothing.
TEST(StructuredGram, EqualsTheDirectProductAndKnowsWhenItPays) {
    const int nDir = 101, drivers = 12;
    const Vector phi = Vector::LinSpaced(nDir, -kPi / 2, kPi / 2);
    Vector z(drivers);
    std::vector<int> kindOf(drivers);
    for (int d = 0; d < drivers; ++d) {
        z[d] = 0.1 * d + 0.17 * (d / 4) - 0.6;
        kindOf[d] = d % 2;
    }
    std::mt19937 rng(3);
    std::normal_distribution<double> normal;
    Matrix hRe(nDir, 2), hIm(nDir, 2);
    for (int i = 0; i < hRe.size(); ++i) {
        hRe(i) = normal(rng);
        hIm(i) = normal(rng);
    }
    const double f = 1234.5;
    CMatrix G(nDir, drivers);
    for (int j = 0; j < nDir; ++j)
        for (int d = 0; d < drivers; ++d)
            G(j, d) = Complex(hRe(j, kindOf[d]), hIm(j, kindOf[d])) *
                      std::exp(Complex(0.0, 2 * kPi * f * phi[j] * z[d] / kSpeedOfSound));
    const CMatrix direct = G.adjoint() * G;
    StructuredGram gram(kindOf, z);
    EXPECT_TRUE(gram.worthwhile());
    const Matrix gRe = G.real(), gIm = G.imag();
    CMatrix A;
    gram.compute(nDir, gRe.data(), gIm.data(), A);
    EXPECT_LT((A - direct).cwiseAbs().maxCoeff(), 1e-13 * direct.cwiseAbs().maxCoeff());

    std::vector<int> ownKinds(6);
    for (int d = 0; d < 6; ++d) ownKinds[d] = d;
    EXPECT_FALSE(StructuredGram(ownKinds, (Vector(6) << 0, 0.1, 0.3, 0.35, 0.8, 0.81).finished()).worthwhile());
}

TEST(InnerOptimisation, RefusalsAndTheIterationCount) {
    WfData s = syntheticSection(8);
    EXPECT_THROW(optimiseSection(s, 2.5, 0, {item(-0.001, 1.2, 20, 1.2)}, kFlatF, kFlatDb, false, 1), OutOfSight);
    EXPECT_THROW(optimiseSection(s, 2.5, 0, {}, kFlatF, kFlatDb, false, 1), std::runtime_error);
    const CMatrix two = fit(s, 2, kFlatDb, false).H, three = fit(s, 3, kFlatDb, false).H;
    ASSERT_NE(two, three);
    s.itpars[0] = 2.5;  // the section's own count, rounded half up
    EXPECT_EQ(fit(s, 0, kFlatDb, false).H, three);
    s.itpars[0] = 2.49;
    EXPECT_EQ(fit(s, -1, kFlatDb, false).H, two);
    // Without a weighted direction the level correction is NaN and the desired
    // magnitudes never move: more iterations change nothing.
    const VenueItem shortLine = item(3.0, 1.2, 3.05, 1.2);
    EXPECT_EQ(fit(s, 6, kFlatDb, true, shortLine).H, fit(s, 1, kFlatDb, true, shortLine).H);
}

// A column of two driver kinds (one mounted upside down) is fitted on two
// threads, half of its frequencies each: every frequency comes out as it does
// on one thread.
TEST(InnerOptimisation, ASecondThreadChangesNoBit) {
    WfData s = syntheticSection(32);
    s.chp.resize(32);
    for (int d = 0; d < 32; ++d) s.chp[d] = d % 2 == 0 ? 1 : -2;
    s.f = Vector::LinSpaced(12, 200.0, 8000.0);
    s.H.resize(12, s.H[1]);
    setenv("TALVEK_THREADS", "1", 1);
    const CMatrix one = fit(s, 4, kFlatDb, false).H;
    unsetenv("TALVEK_THREADS");
    EXPECT_EQ(fit(s, 4, kFlatDb, false).H, one);
}

// Decompositions kept between designs give the bits computed afresh: for the
// same fit, for other targets over the same directions, and never for data
// that changed since.
TEST(InnerOptimisation, KeptDecompositionsGiveTheBitsComputedAfresh) {
    WfData s = syntheticSection(8);
    FitCache cache;
    const auto kept = [&](const VenueItem& line, bool audienceOnly = false) {
        return optimiseSection(s, 2.5, 0.0, {line}, kFlatF, kFlatDb, audienceOnly, 3, &cache).H;
    };
    const VenueItem louder = item(3.0, 1.2, 25.0, 1.2, 97.0, 85.0);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(kept(kLine), fit(s, 3, kFlatDb, false).H);
        EXPECT_EQ(kept(kLine, true), fit(s, 3, kFlatDb, true).H);  // another direction set, kept beside
        EXPECT_EQ(kept(louder), fit(s, 3, kFlatDb, false, louder).H);
        s.H[1](40, 3) += 0.5;  // the same shapes, other data
    }
}

// One iteration solves (G^H G, diagonal scaled by beta) x = G^H T. beta = 1 is
// the plain least-squares fit an SVD of G gives; beta per box of eight scales
// only those channels' diagonal, checked against an LDLT solve.
TEST(InnerOptimisation, OneSolveMatchesAnIndependentSolver) {
    const std::vector<std::vector<double>> betas = {{1.0}, {1.2}, {1.5, 3.0}};
    for (const std::vector<double>& beta : betas) {
        const int drivers = beta.size() > 1 ? 16 : 8;
        WfData s = syntheticSection(drivers);
        s.driverpos.setZero();  // no propagation phase: G is the raw rows
        s.beta = Eigen::Map<const Vector>(beta.data(), beta.size());
        const SectionResponse r = fit(s, 1);
        const VenueDirections d = venueDirections(kLine, sectionFrame(2.5, 0.0, 0.0), true, 0.25);
        for (int c = 0; c < kFreqs.size(); ++c) {
            CMatrix G(d.angleIndex.size(), drivers);
            for (int j = 0; j < G.rows(); ++j) G.row(j) = s.H[c].row(d.angleIndex[j]);
            const CVector t = d.target.cast<Complex>();
            CVector expected;
            if (beta.size() == 1 && beta[0] == 1.0) {
                expected = G.jacobiSvd(Eigen::ComputeThinU | Eigen::ComputeThinV).solve(t);
            } else {
                CMatrix A = G.adjoint() * G;
                for (int i = 0; i < drivers; ++i) A(i, i) *= beta[beta.size() > 1 ? i / 8 : 0];
                expected = A.ldlt().solve(G.adjoint() * t);
            }
            // Normal equations square a condition number of a few: 1e-10 is ample.
            EXPECT_LT((r.H.col(c) - expected).norm(), 1e-10 * expected.norm()) << beta.size() << " f " << c;
        }
    }
}

// The propagation phase is exp(+j w tau), tau = phi x position / 343 relative
// to the mean: data that already carry exp(-j w tau) leave the fit the same
// shape, the responses only turn by the mean delay's phase. With the other
// sign every design would aim at the mirror image of the venue.
TEST(InnerOptimisation, PropagationPhaseUsesStoredPhiAndTheMeanDelay) {
    WfData plain = syntheticSection(8);
    plain.driverpos.setZero();
    WfData delayed = plain;
    delayed.driverpos = Vector::LinSpaced(8, 0.3, 1.0);
    for (int c = 0; c < kFreqs.size(); ++c)
        for (int d = 0; d < 8; ++d)
            for (int j = 0; j < 721; ++j)
                delayed.H[c](j, d) *= std::polar(1.0, -2 * kPi * kFreqs[c] * delayed.phi[j] * delayed.driverpos[d] / 343.0);
    const SectionResponse a = fit(plain, 3), b = fit(delayed, 3);
    const VenueDirections d = venueDirections(kLine, sectionFrame(2.5, 0.0, 0.0), true, 0.25);
    double meanPhi = 0.0;
    for (int j = 0; j < d.angleIndex.size(); ++j) meanPhi += plain.phi[d.angleIndex[j]] / d.angleIndex.size();
    const double meanTau = meanPhi * delayed.driverpos.mean() / 343.0;
    ASSERT_GT(std::abs(meanTau), 1e-4);
    for (int c = 0; c < kFreqs.size(); ++c) {
        const CVector expected = a.H.col(c) * std::polar(1.0, 2 * kPi * kFreqs[c] * meanTau);
        EXPECT_LT((b.H.col(c) - expected).norm(), 1e-9 * expected.norm()) << "frequency " << c;
    }
}

// ---------------------------------------------------------------- the design pipeline

TEST(DesignPipeline, FlattenAboveAndNormalise) {
    SectionResponse r;
    r.freq = (Vector(4) << 100, 200, 300, 400).finished();
    r.H = (CMatrix(2, 4) << Complex(1, 1), Complex(-2, 0), Complex(0, 3), Complex(0.5, 0), Complex(0, -0.5),
           Complex(0.3, 0.4), Complex(-4, 3), Complex(1, -1)).finished();
    const CMatrix before = r.H;
    for (double limit : {400.0, 50.0}) {  // nothing above, or no reference below
        flattenAbove(r, limit);
        EXPECT_EQ(r.H, before);
    }
    const NormalisedResponse n = normaliseSection(r);
    EXPECT_DOUBLE_EQ(n.peak, 5.0);
    EXPECT_NEAR((n.H * 5.0 - before).norm(), 0.0, 1e-15);
    flattenAbove(r, 200.0);  // capped at the largest magnitude at or below, 2, keeping the phase
    for (int m = 0; m < 2; ++m)
        for (int k = 0; k < 4; ++k) {
            const bool capped = k >= 2 && std::abs(before(m, k)) > 2.0;
            EXPECT_NEAR(std::abs(r.H(m, k)), capped ? 2.0 : std::abs(before(m, k)), 1e-15);
            EXPECT_NEAR(std::arg(r.H(m, k)), std::arg(before(m, k)), 1e-15);
        }
    r.H.setZero();
    EXPECT_THROW(normaliseSection(r), std::runtime_error);
}

namespace {

class DesignPipelineOnModels : public ::testing::Test {
protected:
    void SetUp() override {
        if (talvek_test::modelDir().empty()) GTEST_SKIP() << "TALVEK_MODEL_DIR is not set";
    }
    // The cache keeps one model: each reference is valid until the next call.
    static const ModelData& model(const char* name) {
        talvek_test::ScopedCwd cwd(talvek_test::modelDir());
        return *loadModel(name);
    }
    static PipelineOptions options(double tilt, double p9) {
        PipelineOptions o;
        o.p1 = 2.5, o.p2 = tilt, o.p9 = p9;
        return o;
    }
    // A design made again from a copy of the record equals the first, field by field.
    static void expectRedesignIdentical(const ModelData& m, const SpeakerDesign& d, const SFIO& sfio) {
        SFIO record{};
        copySFIO(sfio, record);
        PipelineOptions again;
        again.optimise = false;
        SpeakerDesign stored;
        storeDesign(runDesignPipeline(m, {}, again, record), stored);
        for (auto section : {&SpeakerDesign::wf, &SpeakerDesign::tw}) {
            EXPECT_EQ((stored.*section).delaypick, (d.*section).delaypick);
            EXPECT_EQ((stored.*section).weights, (d.*section).weights);
            EXPECT_EQ((stored.*section).outputshifts, (d.*section).outputshifts);
            EXPECT_EQ((stored.*section).outputgain, (d.*section).outputgain);
        }
        EXPECT_EQ(stored.sos_xover_tw, d.sos_xover_tw);
        EXPECT_EQ(stored.wfeqValue, d.wfeqValue);
        EXPECT_EQ(stored.arraytype, d.arraytype);
        clearSFIO(record);
    }
    const std::vector<VenueItem> venue = {talvek_test::typicalAudienceLine()};
};

}  // namespace

// ceil(10 x 0.25) = 3 woofer iterations: the record holds exactly the
// three-iteration fit, flattened; array type 1 passes its crossover through.
TEST_F(DesignPipelineOnModels, OneWayDesign) {
    const ModelData& m = model("Vexal8");
    SFIO sfio{};
    const SpeakerDesign d = runDesignPipeline(m, venue, options(0.0, 0.25), sfio);
    EXPECT_FALSE(d.twoway);
    EXPECT_EQ(d.fswf, 96000.0);
    EXPECT_EQ(d.sos_xover_wf, (Matrix(1, 6) << 1, 0, 0, 1, 0, 0).finished());
    EXPECT_EQ(d.tw.outputshifts.size(), 0);
    EXPECT_EQ(d.wf.outputgain, 1.0);
    EXPECT_EQ(sfio.arraytype, 1);
    EXPECT_EQ(sfio.tw.nChan, 0);
    const CMatrix stored = readChannelSet(sfio.wf).H;
    EXPECT_EQ(d.wfeqValue, stored.cwiseAbs().maxCoeff());
    for (int n : {2, 3, 4}) {
        SectionResponse r = optimiseSection(*m.wf, 2.5, 0.0, venue, m.f_timbre, m.dB_timbre, false, n);
        flattenAbove(r, m.f_flatten);
        EXPECT_EQ(stored == r.H, n == 3) << n << " iterations";
    }
    expectRedesignIdentical(m, d, sfio);
    clearSFIO(sfio);
}

// The record holds the fits of crossed-over copies of both sections (the
// woofer with ceil(10 p9) iterations, the tweeter with its own count,
// flattened); the tweeter's taps sit six later than designed and its gain is
// its peak over the woofer's.
TEST_F(DesignPipelineOnModels, TwoWayDesign) {
    const ModelData& m = model("Vexal16");
    SFIO sfio{};
    const SpeakerDesign d = runDesignPipeline(m, venue, options(-5.0, 0.2), sfio);
    ASSERT_TRUE(d.twoway);
    EXPECT_EQ(d.sos_xover_tw.row(0), (Eigen::RowVectorXd(6) << 0.91159, -1.8232, 0.91159, 1, -1.8153, 0.83101).finished());
    WfData wf(*m.wf);
    TwData tw(*m.tw);
    wf.applyCrossover(m.fx, 96000.0, m.bwx, m.iir_xover_order);
    tw.applyCrossover(m.fx, 96000.0, m.bwx, m.iir_xover_order);
    EXPECT_EQ(readChannelSet(sfio.wf).H, optimiseSection(wf, 2.5, -5.0, venue, m.f_timbre, m.dB_timbre, false, 2).H);
    SectionResponse tweeter = optimiseSection(tw, 2.5, -5.0, venue, m.f_timbre, m.dB_timbre, false, 0);
    flattenAbove(tweeter, m.f_flatten);
    EXPECT_EQ(readChannelSet(sfio.tw).freq, tw.f);
    EXPECT_EQ(readChannelSet(sfio.tw).H, tweeter.H);

    tweeter.H.array().rowwise() *= H_sos(d.sos_xover_tw, tweeter.freq, 96000.0, 0).col(0).transpose().array();
    const NormalisedResponse T = normaliseSection(tweeter);
    const ChannelDesign designed = designChannelFilters(T, false, true, true);
    EXPECT_EQ(d.tw.delaypick, (designed.delaypick.array() + 6).matrix());
    EXPECT_EQ(d.tw.weights, designed.weights);
    EXPECT_DOUBLE_EQ(d.tw.outputgain, T.peak / d.wfeqValue);
    expectRedesignIdentical(m, d, sfio);

    // A failure before the responses are stored leaves the record as it was.
    const SFIO before = sfio;
    EXPECT_THROW(runDesignPipeline(m, {venue[0], item(-0.5, 1.2, 20, 1.2)}, options(0.0, 0.1), sfio), OutOfSight);
    EXPECT_EQ(sfio.wf.re, before.wf.re);
    clearSFIO(sfio);
}
