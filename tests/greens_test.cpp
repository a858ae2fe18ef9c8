// The sound-field prediction on small synthetic models: a direct evaluation of
// the field sum, the analytic on-axis point, the back side, near-field
// clipping, headroom and the refusal of data that do not fit together.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "acoustics/greens.h"
#include "filters/sf_response.h"
#include "filters/sos.h"
#include "tests/flat_channels.h"

using namespace TalvekLib;

namespace {

constexpr int kRows = 721;  // 0.25 degree rows from -90 to +90 degrees

using Directivity = std::function<Complex(double f, int row, int k)>;
using Delay = std::function<double(int row, int k)>;

// A section of K drivers `spacing` apart, centred on its yshift.
void fillSection(DriverData& d, int K, double spacing, double yshift, const Vector& f, const Directivity& dir,
                 const Delay& delay) {
    d.f = f;
    d.yshift = yshift;
    d.driverpos.resize(K);
    for (int k = 0; k < K; ++k) d.driverpos[k] = (k - 0.5 * (K - 1)) * spacing;
    d.H.clear();
    for (int n = 0; n < f.size(); ++n) {
        CMatrix D(kRows, K);
        for (int k = 0; k < K; ++k)
            for (int a = 0; a < kRows; ++a) D(a, k) = dir(f[n], a, k);
        d.H.push_back(D);
    }
    d.driver_delay.resize(kRows, K);
    for (int k = 0; k < K; ++k)
        for (int a = 0; a < kRows; ++a) d.driver_delay(a, k) = delay(a, k);
    d.Hdacamp.H = Matrix::Constant(1, f.size(), 2.0);
    d.Hdacamp.Vclip = Vector::Constant(1, 3.0);
    d.Hdacamp.Nch = 1;
}

// Channels with a few taps that differ per channel, so the chain is not flat.
ChannelDesign shapedChannels(int K) {
    ChannelDesign cd;
    cd.order = 1;
    cd.outputgain = 0.9;
    cd.delaypick = (IVector(3) << 0, 2, 5).finished();
    cd.weights.resize(3, K);
    for (int k = 0; k < K; ++k) cd.weights.col(k) << 3 + k, -2, 1 - k;
    cd.outputshifts = IVector::Constant(K, 2);
    return cd;
}

const Matrix kPassThrough = (Matrix(1, 6) << 1, 0, 0, 1, 0, 0).finished();

struct Scene {
    std::unique_ptr<ModelData> model;
    SpeakerDesign design;
};

Directivity flatDirectivity() {
    return [](double, int, int) { return Complex(1.0, 0.0); };
}

// One woofer at the reference point, flat in every sense: the field is the bare
// point source exp(-j 2 pi f tau) / r.
Scene singleDriver(const Vector& f, const Delay& delay) {
    Scene s;
    s.model = std::make_unique<ModelData>(nullptr);
    s.model->wf = std::make_unique<WfData>();
    fillSection(*s.model->wf, 1, 0.1, 0.0, f, flatDirectivity(), delay);
    s.design.arraytype = 1;
    s.design.wfeqValue = 1.0;
    s.design.fswf = 96000.0;
    s.design.sos_xover_wf = kPassThrough;
    s.design.wf = talvek_test::flatChannels(1);
    return s;
}

// A tilted two-way column with angle- and frequency-dependent directivity,
// shaped channels, a digital crossover and an analog box roll-off.
Scene twoWayColumn(const Vector& f) {
    Scene s;
    s.model = std::make_unique<ModelData>(nullptr);
    s.model->twoway = true;
    s.model->wf = std::make_unique<WfData>();
    s.model->tw = std::make_unique<TwData>();
    const auto dir = [](double freq, int a, int k) {
        const double th = (a - 360) * 0.25 * kPi / 180.0;
        return std::polar(std::cos(th) * (1.0 + 0.05 * k) + 0.1, 0.3 * std::sin(th) * freq / 1000.0 + 0.2 * k);
    };
    const auto delay = [](int a, int k) { return 1e-4 * std::cos((a - 360) * 0.25 * kPi / 180.0) + 2e-6 * k; };
    fillSection(*s.model->wf, 8, 0.1, 0.6, f, dir, delay);
    s.model->wf->Nboxes = 1;
    const double w0 = 2 * kPi * 45.0;
    s.model->wf->rolloff_sosa = (Matrix(1, 6) << 1, 0, 0, 1, w0 / 0.707, w0 * w0).finished();
    fillSection(*s.model->tw, 4, 0.05, 0.65, f, dir, [](int a, int k) { return 3e-5 * k + 1e-7 * a; });
    s.model->tw->Hdacamp.H = Matrix::Constant(1, f.size(), 4.0);

    s.design.twoway = true;
    s.design.arraytype = 2;
    s.design.wfeqValue = 0.37;
    s.design.fswf = s.design.fstw = 96000.0;
    s.design.sos_xover_wf = (Matrix(2, 6) << 0.2, 0.4, 0.2, 1, -0.3, 0.1, 0.5, 0.1, 0.0, 1, -0.2, 0.0).finished();
    s.design.sos_xover_tw = (Matrix(1, 6) << 0.6, -0.9, 0.3, 1, 0.1, 0.05).finished();
    s.design.wf = shapedChannels(8);
    s.design.tw = shapedChannels(4);
    return s;
}

// The field sum written out plainly, term by term, with std::exp.
CMatrix directField(const DriverData& d, bool woofer, const SpeakerDesign& design, double g1, double g2,
                    const Vector& x, const Vector& y) {
    const ChannelDesign& cd = woofer ? design.wf : design.tw;
    const Matrix& xo = woofer ? design.sos_xover_wf : design.sos_xover_tw;
    const CMatrix S = channelResponses(cd, d.f, 96000.0);
    const CMatrix X = H_sos(xo, d.f, 96000.0, 0);
    CMatrix R = CMatrix::Ones(d.f.size(), 1);
    if (woofer) R = H_sos_s(static_cast<const WfData&>(d).rolloff_sosa, d.f, 0);
    const double th = g2 * kPi / 180.0;
    CMatrix F = CMatrix::Zero(d.f.size(), x.size());
    for (int p = 0; p < x.size(); ++p)
        for (int k = 0; k < d.driverpos.size(); ++k) {
            const double z = d.driverpos[k] + d.yshift;
            const double dx = x[p] + z * std::sin(th), dy = y[p] - g1 - z * std::cos(th);
            const double r = std::hypot(dx, dy);
            if (dx * std::cos(th) + dy * std::sin(th) < 0) continue;
            const double phi = std::asin((dy * std::cos(th) - dx * std::sin(th)) / r) * 180.0 / kPi;
            const int a = static_cast<int>((phi + 90.0) / 0.25 + 0.5);
            const double tau = (r - 1.0) / 343.0 + d.driver_delay(a, k);
            for (int n = 0; n < d.f.size(); ++n)
                F(n, p) += S(n, k) * X(n, 0) * R(n, 0) * d.H[n](a, k) *
                           std::exp(Complex(0.0, -2.0 * kPi * d.f[n] * tau)) / r;
        }
    return F;
}

IVector allIndices(int n) { return IVector::LinSpaced(n, 0, n - 1); }

TEST(Greens, MatchesTheFieldSumWrittenOutDirectly) {
    const Vector f = (Vector(5) << 63.0, 250.0, 1800.0, 7000.0, 19000.0).finished();
    const Scene s = twoWayColumn(f);
    const double g1 = 2.5, g2 = -7.0;
    // A grid in front, some points behind or beside parts of the column.
    Vector x(60), y(60);
    for (int i = 0; i < 60; ++i) {
        x[i] = -2.0 + 0.47 * (i % 12) + 0.013 * i;
        y[i] = -1.0 + 1.9 * (i / 12) + 0.021 * (i % 7);
    }
    const auto& settings = librarySettings();
    const auto& ref = referenceCurve();
    const SectionField W = computeSectionField(*s.model->wf, g1, g2, s.design, x, y, allIndices(5), ref, settings);
    const SectionField T = computeSectionField(*s.model->tw, g1, g2, s.design, x, y, allIndices(5), ref, settings);
    const CMatrix Wd = directField(*s.model->wf, true, s.design, g1, g2, x, y);
    const CMatrix Td = directField(*s.model->tw, false, s.design, g1, g2, x, y);
    // The same sum with a different phase kernel and order of products: agreement
    // to a few 1e-15 of the field's scale (phases here reach ~50 turns).
    EXPECT_LT((W.field - Wd).cwiseAbs().maxCoeff(), 1e-12 * Wd.cwiseAbs().maxCoeff());
    EXPECT_LT((T.field - Td).cwiseAbs().maxCoeff(), 1e-12 * Td.cwiseAbs().maxCoeff());

    // The whole prediction: the sections add, G scales, near points are clipped.
    const GreensResult g = computeGreens(*s.model, s.design, g1, g2, x, y, 0, 4, ref, settings);
    ASSERT_EQ(g.power.rows(), 5);
    ASSERT_EQ(g.power.cols(), 60);
    const double G = s.design.wfeqValue;
    for (int p = 0; p < 60; ++p) {
        if (W.nearField[p] || T.nearField[p]) continue;
        for (int n = 0; n < 5; ++n) {
            const double expected = std::norm(G * (Wd(n, p) + Td(n, p)));
            EXPECT_NEAR(g.power(n, p), expected, 1e-12 * (expected + 1e-30) + 1e-24);
        }
    }
    const double h = std::min(W.headroom, T.headroom);
    EXPECT_NEAR(g.headroomDb, 20.0 * std::log10(h / G), 1e-12);

    // One frequency (i1 = i2) gives one row: that frequency's row of the whole
    // (near-field points aside, whose clipping level depends on the range).
    const GreensResult one = computeGreens(*s.model, s.design, g1, g2, x, y, 3, 3, ref, settings);
    ASSERT_EQ(one.power.rows(), 1);
    for (int p = 0; p < 60; ++p) {
        if (W.nearField[p] || T.nearField[p]) continue;
        EXPECT_NEAR(one.power(0, p), g.power(3, p), 1e-14 * g.power(3, p) + 1e-30);
    }
}

TEST(Greens, ADelayAndSumColumnAimsItsBeamWhereItsDelaysSay) {
    // Sixteen omnidirectional drivers 0.1 m apart; channel k is a pure delay
    // of round(z_k sin(aim) / c * fs) samples, which tilts the wavefront to
    // `aim` (negative: downwards). On a 50 m arc at 2 kHz the loudest point
    // must lie at `aim` to within a fraction of the 7-degree beam width.
    const double aim = -15.0;
    const Vector f = Vector::Constant(1, 2000.0);
    Scene s;
    s.model = std::make_unique<ModelData>(nullptr);
    s.model->wf = std::make_unique<WfData>();
    fillSection(*s.model->wf, 16, 0.1, 0.0, f, flatDirectivity(), [](int, int) { return 0.0; });
    s.design.arraytype = 1;
    s.design.wfeqValue = 1.0;
    s.design.fswf = 96000.0;
    s.design.sos_xover_wf = kPassThrough;
    // One stored row per channel; delaypick must ascend, and a downward aim
    // gives the higher drivers the shorter delays.
    std::vector<std::pair<int, int>> tapOfChannel;
    for (int k = 0; k < 16; ++k) {
        const double z = s.model->wf->driverpos[k];
        const long delay = std::lround(z * std::sin(aim * kPi / 180.0) / 343.0 * 96000.0);
        tapOfChannel.push_back({100 + static_cast<int>(delay), k});
    }
    std::sort(tapOfChannel.begin(), tapOfChannel.end());
    ChannelDesign& cd = s.design.wf;
    cd.outputgain = 1.0;
    cd.delaypick.resize(16);
    cd.weights = IMatrix::Zero(16, 16);
    cd.outputshifts = IVector::Zero(16);
    for (int i = 0; i < 16; ++i) {
        cd.delaypick[i] = tapOfChannel[i].first;
        cd.weights(i, tapOfChannel[i].second) = 1;
    }

    const int P = 481;  // -60 to +60 degrees in 0.25 degree steps
    Vector x(P), y(P);
    for (int p = 0; p < P; ++p) {
        const double a = (-60.0 + 0.25 * p) * kPi / 180.0;
        x[p] = 50.0 * std::cos(a);
        y[p] = 10.0 + 50.0 * std::sin(a);
    }
    const GreensResult g = computeGreens(*s.model, s.design, 10.0, 0.0, x, y, 0, 0, referenceCurve(),
                                         librarySettings());
    int loudest = 0;
    g.power.row(0).maxCoeff(&loudest);
    EXPECT_NEAR(-60.0 + 0.25 * loudest, aim, 1.0);
}

class OnAxisTest : public ::testing::TestWithParam<double> {};

TEST_P(OnAxisTest, OneMetreInFrontHasNoSpreadingLossAndOnlyTheDriverDelay) {
    const double tilt = GetParam();
    const Vector f = (Vector(3) << 50.0, 1234.5, 20000.0).finished();
    // The delay differs per angle row, so the wrong row would show.
    const Scene s = singleDriver(f, [](int a, int) { return 1e-3 + 1e-6 * a; });
    const double g1 = 1.7, th = tilt * kPi / 180.0;
    const Vector x = Vector::Constant(1, std::cos(th));
    const Vector y = Vector::Constant(1, g1 + std::sin(th));
    const SectionField F = computeSectionField(*s.model->wf, g1, tilt, s.design, x, y, allIndices(3),
                                               referenceCurve(), librarySettings());
    const double tau = 1e-3 + 1e-6 * 360;  // row 360 is 0 degrees
    for (int n = 0; n < 3; ++n) {
        const Complex expected = std::exp(Complex(0.0, -2.0 * kPi * f[n] * tau));
        EXPECT_NEAR(std::abs(F.field(n, 0) - expected), 0.0, 1e-12) << "f " << f[n];
    }
    EXPECT_FALSE(F.nearField[0]);
}

INSTANTIATE_TEST_SUITE_P(Tilts, OnAxisTest, ::testing::Values(0.0, 30.0, -45.0));

TEST(Greens, ThePlaneOfTheColumnCountsAsItsFront) {
    // A point straight above the upright column: v = 0, seen at +90 degrees.
    const Vector f = (Vector(2) << 700.0, 7000.0).finished();
    const Scene s = singleDriver(f, [](int a, int) { return 1e-6 * a; });
    const Vector x = Vector::Zero(1), y = Vector::Constant(1, 1.0 + 3.0);
    const SectionField F = computeSectionField(*s.model->wf, 1.0, 0.0, s.design, x, y, allIndices(2),
                                               referenceCurve(), librarySettings());
    const double tau = 2.0 / 343.0 + 1e-6 * 720;
    for (int n = 0; n < 2; ++n)
        EXPECT_NEAR(std::abs(F.field(n, 0) - std::exp(Complex(0.0, -2.0 * kPi * f[n] * tau)) / 3.0), 0.0, 1e-13);
}

TEST(Greens, PointsBehindTheColumnGetNoPower) {
    const Vector f = (Vector(3) << 100.0, 1000.0, 10000.0).finished();
    const Scene s = twoWayColumn(f);
    for (const double tilt : {0.0, 20.0}) {
        const double th = tilt * kPi / 180.0;
        // Two metres behind the column's front plane, level with its middle.
        Vector x(2), y(2);
        x << -2.0 * std::cos(th), -5.0 * std::cos(th);
        y << 2.0 - 2.0 * std::sin(th), 2.0 - 5.0 * std::sin(th) + 1.0;
        const GreensResult g = computeGreens(*s.model, s.design, 1.4, tilt, x, y, 0, 2, referenceCurve(),
                                             librarySettings());
        EXPECT_EQ(g.power.cwiseAbs().maxCoeff(), 0.0) << "tilt " << tilt;
    }
}

TEST(Greens, NearFieldPointsAreClippedToTheLoudestFarPoint) {
    const Vector f = (Vector(2) << 500.0, 2000.0).finished();
    Scene s = singleDriver(f, [](int, int) { return 0.0; });
    s.design.wfeqValue = 2.0;
    const double g1 = 1.0;
    // Far: 2 m and sqrt(10) m away. Near: 0.2 m in front (25 times the power
    // of the loudest far point), 0.3 m behind (silent), on the driver itself.
    Vector x(5), y(5);
    x << 2.0, 3.0, 0.2, -0.3, 0.0;
    y << g1, g1 + 1.0, g1, g1, g1;
    const GreensResult g = computeGreens(*s.model, s.design, g1, 0.0, x, y, 0, 1, referenceCurve(),
                                         librarySettings());
    const double peak = 2.0 * 2.0 / 4.0;  // (G / r)^2 at r = 2
    for (int n = 0; n < 2; ++n) {
        EXPECT_NEAR(g.power(n, 0), peak, 1e-14);
        EXPECT_NEAR(g.power(n, 1), 4.0 / 10.0, 1e-14);
        EXPECT_EQ(g.power(n, 2), g.power.leftCols(2).maxCoeff());
        EXPECT_EQ(g.power(n, 3), 0.0);  // clipping never raises a level
        EXPECT_EQ(g.power(n, 4), g.power.leftCols(2).maxCoeff());
    }

    // No point outside the near field: everything near is clipped to 0.
    const GreensResult none = computeGreens(*s.model, s.design, g1, 0.0, x.tail(3), y.tail(3), 0, 1,
                                            referenceCurve(), librarySettings());
    EXPECT_EQ(none.power.cwiseAbs().maxCoeff(), 0.0);
}

TEST(Greens, OneWayModelsIgnoreTheTweeterHalf) {
    const Vector f = (Vector(2) << 300.0, 3000.0).finished();
    Scene s = singleDriver(f, [](int, int) { return 2e-4; });
    const Vector x = (Vector(2) << 3.0, 6.0).finished(), y = (Vector(2) << 0.0, 4.0).finished();
    const GreensResult clean = computeGreens(*s.model, s.design, 1.0, 5.0, x, y, 0, 1, referenceCurve(),
                                             librarySettings());
    // A tweeter half that could not be evaluated at all.
    s.design.tw = shapedChannels(3);
    s.design.tw.outputshifts.resize(1);
    s.design.sos_xover_tw = Matrix::Ones(2, 2);
    s.design.twoway = true;
    const GreensResult withJunk = computeGreens(*s.model, s.design, 1.0, 5.0, x, y, 0, 1, referenceCurve(),
                                                librarySettings());
    EXPECT_EQ(withJunk.power, clean.power);
    EXPECT_EQ(withJunk.headroomDb, clean.headroomDb);
}

TEST(Greens, HeadroomIsTheSmallestClipRatioAgainstTheReferenceCurve) {
    // 315 Hz and 1000 Hz are reference-curve points at 0 dB and -0.1 dB.
    const Vector f = (Vector(2) << 315.0, 1000.0).finished();
    Scene s = singleDriver(f, [](int, int) { return 0.0; });
    DacAmpData& amp = s.model->wf->Hdacamp;
    amp.H = (Matrix(2, 2) << 2.0, -2.1, 1.0, 1.0).finished();
    amp.Vclip = (Vector(2) << 3.0, 1.5).finished();
    const double w1000 = std::pow(10.0, -0.1 / 20.0);
    const double expected = std::min(3.0 / std::max(2.0, 2.1 * w1000), 1.5 / 1.0);
    const Vector x = Vector::Constant(1, 3.0), y = Vector::Zero(1);
    const SectionField F = computeSectionField(*s.model->wf, 0.0, 0.0, s.design, x, y, allIndices(2),
                                               referenceCurve(), librarySettings());
    EXPECT_NEAR(F.headroom, expected, 1e-12);

    s.design.wfeqValue = F.headroom;
    EXPECT_EQ(computeGreens(*s.model, s.design, 0.0, 0.0, x, y, 0, 1, referenceCurve(), librarySettings())
                  .headroomDb,
              0.0);
    s.design.wfeqValue = -2.0 * F.headroom;  // the ratio's absolute value counts
    EXPECT_NEAR(computeGreens(*s.model, s.design, 0.0, 0.0, x, y, 0, 1, referenceCurve(), librarySettings())
                    .headroomDb,
                20.0 * std::log10(0.5), 1e-12);
}

struct BadInput {
    const char* name;
    std::function<void(Scene&, Vector&, Vector&, int&, int&)> spoil;
    const char* messagePart;
};

class GreensRefusesTest : public ::testing::TestWithParam<BadInput> {};

TEST_P(GreensRefusesTest, WithAClearMessage) {
    const Vector f = (Vector(3) << 100.0, 1000.0, 10000.0).finished();
    Scene s = twoWayColumn(f);
    Vector x = Vector::Constant(2, 3.0), y = Vector::Constant(2, 1.0);
    int i1 = 0, i2 = 2;
    GetParam().spoil(s, x, y, i1, i2);
    try {
        computeGreens(*s.model, s.design, 1.0, 0.0, x, y, i1, i2, referenceCurve(), librarySettings());
        FAIL() << "accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().messagePart), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GreensRefusesTest,
    ::testing::Values(
        BadInput{"indexPastTheEnd", [](Scene&, Vector&, Vector&, int&, int& i2) { i2 = 3; }, "Frequency indices"},
        BadInput{"descending", [](Scene&, Vector&, Vector&, int& i1, int& i2) { i1 = 2, i2 = 1; },
                 "Frequency indices"},
        BadInput{"tweeterHasFewerFrequencies",
                 [](Scene& s, Vector&, Vector&, int&, int&) {
                     s.model->tw->f.conservativeResize(2);
                     s.model->tw->H.pop_back();
                 },
                 "Frequency indices"},
        BadInput{"noDesign", [](Scene& s, Vector&, Vector&, int&, int&) { s.design = SpeakerDesign(); },
                 "no speaker design"},
        BadInput{"designForAnotherModel",
                 [](Scene& s, Vector&, Vector&, int&, int&) { s.design.tw = shapedChannels(6); },
                 "another model"},
        BadInput{"delayPerPrototypeOnly",
                 [](Scene& s, Vector&, Vector&, int&, int&) {
                     s.model->wf->driver_delay.conservativeResize(kRows, 2);
                 },
                 "driver_delay"},
        BadInput{"rolloffMissingForABox",
                 [](Scene& s, Vector&, Vector&, int&, int&) { s.model->wf->rolloff_sosa.resize(0, 6); },
                 "rolloff_sosa"},
        BadInput{"unpairedCoordinates", [](Scene&, Vector& x, Vector&, int&, int&) { x.resize(3); },
                 "coordinates"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Phasors, AgreeWithALongDoubleReferenceOverManyTurns) {
    // Frequencies times delays from a fraction of a turn to 2000 turns, with
    // the quarter-turn boundaries hit exactly.
    Vector f(64);
    for (int n = 0; n < 64; ++n) f[n] = 20.0 * std::pow(1.12, n);
    Vector re(64), im(64);
    double worst = 0.0;
    for (const double tau : {0.0, 0.25 / 20.0, -1.3e-4, 3.7e-3, 0.05, -0.1, 0.0123456789}) {
        phasorsForDelay(f.data(), 64, tau, re.data(), im.data());
        for (int n = 0; n < 64; ++n) {
            // Whole turns removed exactly before the angle is formed.
            const long double turns = static_cast<long double>(f[n] * tau);  // the product both sides use
            const long double angle =
                2.0L * 3.14159265358979323846264338327950288L * (turns - std::round(turns));
            worst = std::max(worst, static_cast<double>(std::fabs(re[n] - std::cos(angle))));
            worst = std::max(worst, static_cast<double>(std::fabs(im[n] + std::sin(angle))));
        }
    }
    // Two units in the last place of 1; forming 2 pi f tau in double before a
    // plain cosine would already lose up to ~1e-11 at 2000 turns.
    EXPECT_LT(worst, 4.5e-16);
}

}  // namespace
