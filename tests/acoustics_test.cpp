// The acoustics layer: the sound-field prediction on small synthetic columns
// against the field sum written out directly and against analytic points, and
// a physics check on the bundled models.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "acoustics/greens.h"
#include "filters/sf_response.h"
#include "filters/sos.h"
#include "model/model_cache.h"
#include "optimiser/design_pipeline.h"
#include "test_support.h"
#include "tests/flat_channels.h"
#include "tests/typical_venue.h"

using namespace TalvekLib;

// ---------------------------------------------------------------- sound field

namespace {

constexpr int kRows = 721;  // 0.25 degree rows from -90 to +90 degrees

using Directivity = std::function<Complex(double f, int row, int k)>;
using Delay = std::function<double(int row, int k)>;

// K drivers `spacing` apart, centred on yshift; one amplifier row of gain 2
// and clip voltage 3.
void fillSection(DriverData& d, int K, double spacing, double yshift, const Vector& f, const Directivity& dir,
                 const Delay& delay) {
    d.f = f;
    d.yshift = yshift;
    d.driverpos = Vector::LinSpaced(K, -0.5 * (K - 1) * spacing, 0.5 * (K - 1) * spacing);
    d.H.assign(f.size(), CMatrix(kRows, K));
    d.driver_delay.resize(kRows, K);
    for (int k = 0; k < K; ++k)
        for (int a = 0; a < kRows; ++a) {
            d.driver_delay(a, k) = delay(a, k);
            for (int n = 0; n < f.size(); ++n) d.H[n](a, k) = dir(f[n], a, k);
        }
    d.Hdacamp.H = Matrix::Constant(1, f.size(), 2.0);
    d.Hdacamp.Vclip = Vector::Constant(1, 3.0);
}

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

struct Scene {
    std::unique_ptr<ModelData> model = std::make_unique<ModelData>(nullptr);
    SpeakerDesign design;
};

// One flat woofer at the reference point: the field is exp(-j 2 pi f tau) / r.
Scene singleDriver(const Vector& f, const Delay& delay, int K = 1) {
    Scene s;
    s.model->wf = std::make_unique<WfData>();
    fillSection(*s.model->wf, K, 0.1, 0.0, f, [](double, int, int) { return Complex(1.0); }, delay);
    s.design.arraytype = 1;
    s.design.wfeqValue = 1.0;
    s.design.fswf = 96000.0;
    s.design.sos_xover_wf = (Matrix(1, 6) << 1, 0, 0, 1, 0, 0).finished();
    s.design.wf = talvek_test::flatChannels(K);
    return s;
}

// A tilted two-way column with angle- and frequency-dependent directivity,
// shaped channels, digital crossovers and an analog box roll-off.
Scene twoWayColumn(const Vector& f) {
    Scene s;
    s.model->twoway = true;
    s.model->wf = std::make_unique<WfData>();
    s.model->tw = std::make_unique<TwData>();
    const auto dir = [](double freq, int a, int k) {
        const double th = (a - 360) * 0.25 * kPi / 180.0;
        return std::polar(std::cos(th) * (1.0 + 0.05 * k) + 0.1, 0.3 * std::sin(th) * freq / 1000.0 + 0.2 * k);
    };
    fillSection(*s.model->wf, 8, 0.1, 0.6, f, dir, [](int a, int k) { return 1e-4 * std::cos((a - 360) * kPi / 720) + 2e-6 * k; });
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
    const CMatrix S = channelResponses(woofer ? design.wf : design.tw, d.f, 96000.0);
    const CMatrix X = H_sos(woofer ? design.sos_xover_wf : design.sos_xover_tw, d.f, 96000.0, 0);
    const CMatrix R = woofer ? H_sos_s(static_cast<const WfData&>(d).rolloff_sosa, d.f, 0) : CMatrix::Ones(d.f.size(), 1);
    const double th = g2 * kPi / 180.0;
    CMatrix F = CMatrix::Zero(d.f.size(), x.size());
    for (int p = 0; p < x.size(); ++p)
        for (int k = 0; k < d.driverpos.size(); ++k) {
            const double z = d.driverpos[k] + d.yshift;
            const double dx = x[p] + z * std::sin(th), dy = y[p] - g1 - z * std::cos(th), r = std::hypot(dx, dy);
            if (dx * std::cos(th) + dy * std::sin(th) < 0) continue;
            const double phi = std::asin((dy * std::cos(th) - dx * std::sin(th)) / r) * 180.0 / kPi;
            const int a = static_cast<int>((phi + 90.0) / 0.25 + 0.5);
            const double tau = (r - 1.0) / 343.0 + d.driver_delay(a, k);
            for (int n = 0; n < d.f.size(); ++n)
                F(n, p) += S(n, k) * X(n, 0) * R(n, 0) * d.H[n](a, k) * std::exp(Complex(0.0, -2.0 * kPi * d.f[n] * tau)) / r;
        }
    return F;
}

IVector allIndices(int n) { return IVector::LinSpaced(n, 0, n - 1); }

GreensResult greens(const Scene& s, double g1, double g2, const Vector& x, const Vector& y, int i1, int i2) {
    return computeGreens(*s.model, s.design, g1, g2, x, y, i1, i2, referenceCurve(), librarySettings());
}

SectionField sectionField(const Scene& s, const DriverData& d, double g1, double g2, const Vector& x, const Vector& y) {
    return computeSectionField(d, g1, g2, s.design, x, y, allIndices(d.f.size()), referenceCurve(), librarySettings());
}

}  // namespace

TEST(Greens, MatchesTheFieldSumWrittenOutDirectly) {
    const Vector f = (Vector(5) << 63.0, 250.0, 1800.0, 7000.0, 19000.0).finished();
    const Scene s = twoWayColumn(f);
    const double g1 = 2.5, g2 = -7.0;
    Vector x(60), y(60);  // a grid in front, some points behind or beside parts of the column
    for (int i = 0; i < 60; ++i) {
        x[i] = -2.0 + 0.47 * (i % 12) + 0.013 * i;
        y[i] = -1.0 + 1.9 * (i / 12) + 0.021 * (i % 7);
    }
    const SectionField W = sectionField(s, *s.model->wf, g1, g2, x, y), T = sectionField(s, *s.model->tw, g1, g2, x, y);
    const CMatrix Wd = directField(*s.model->wf, true, s.design, g1, g2, x, y);
    const CMatrix Td = directField(*s.model->tw, false, s.design, g1, g2, x, y);
    // Another phase kernel and order of products: agreement to a few 1e-15 of
    // the field's scale (phases here reach ~50 turns).
    EXPECT_LT((W.field - Wd).cwiseAbs().maxCoeff(), 1e-12 * Wd.cwiseAbs().maxCoeff());
    EXPECT_LT((T.field - Td).cwiseAbs().maxCoeff(), 1e-12 * Td.cwiseAbs().maxCoeff());

    // The sections add and G scales; one frequency gives that frequency's row.
    const GreensResult g = greens(s, g1, g2, x, y, 0, 4), one = greens(s, g1, g2, x, y, 3, 3);
    const double G = s.design.wfeqValue;
    for (int p = 0; p < 60; ++p) {
        if (W.nearField[p] || T.nearField[p]) continue;
        for (int n = 0; n < 5; ++n) {
            const double expected = std::norm(G * (Wd(n, p) + Td(n, p)));
            EXPECT_NEAR(g.power(n, p), expected, 1e-12 * expected + 1e-24);
        }
        EXPECT_NEAR(one.power(0, p), g.power(3, p), 1e-14 * g.power(3, p) + 1e-30);
    }
    EXPECT_NEAR(g.headroomDb, 20.0 * std::log10(std::min(W.headroom, T.headroom) / G), 1e-12);
}

// The filter responses kept between calls give the bits computed afresh, and
// a changed design is never answered from the cache.
TEST(Greens, CachedChannelResponsesAreExactAndFollowTheDesign) {
    const Vector f = (Vector(4) << 90.0, 700.0, 3000.0, 15000.0).finished();
    Scene s = twoWayColumn(f);
    const Vector x = (Vector(3) << 3.0, 8.0, 20.0).finished(), y = (Vector(3) << 1.0, 4.0, 2.0).finished();
    ChannelChainCache cache;
    const auto cached = [&](int i1, int i2) {
        return computeGreens(*s.model, s.design, 2.0, -3.0, x, y, i1, i2, referenceCurve(), librarySettings(), &cache);
    };
    for (int round = 0; round < 2; ++round) {
        const Matrix fresh = greens(s, 2.0, -3.0, x, y, 0, 3).power;
        EXPECT_EQ(cached(0, 3).power, fresh);
        for (int n = 0; n < 4; ++n) EXPECT_EQ(cached(n, n).power, fresh.row(n)) << n;
        s.design.tw.weights(1, 2) += 3;  // the same shape of design, another filter
    }
}

// A large map is shared with a second thread; every point comes out as it
// does on one thread.
TEST(Greens, ASecondThreadChangesNoBit) {
    const Scene s = twoWayColumn((Vector(5) << 90.0, 700.0, 3000.0, 9000.0, 15000.0).finished());
    const Vector x = Vector::LinSpaced(30000, -0.5, 40.0), y = Vector::LinSpaced(30000, -2.0, 9.0);
    setenv("TALVEK_THREADS", "1", 1);
    const Matrix one = greens(s, 2.0, -3.0, x, y, 0, 4).power;
    unsetenv("TALVEK_THREADS");
    EXPECT_EQ(greens(s, 2.0, -3.0, x, y, 0, 4).power, one);
}

// Points behind the column get nothing; near-field points (closer than 0.5 m
// to a driver) are clipped to the loudest far point, never raised.
TEST(Greens, BackSideAndNearFieldClipping) {
    const Scene column = twoWayColumn((Vector(3) << 100.0, 1000.0, 10000.0).finished());
    for (const double tilt : {0.0, 20.0}) {
        const double th = tilt * kPi / 180.0;
        const Vector x = (Vector(2) << -2.0 * std::cos(th), -5.0 * std::cos(th)).finished();
        const Vector y = (Vector(2) << 2.0 - 2.0 * std::sin(th), 3.0 - 5.0 * std::sin(th)).finished();
        EXPECT_EQ(greens(column, 1.4, tilt, x, y, 0, 2).power.cwiseAbs().maxCoeff(), 0.0) << tilt;
    }
    Scene s = singleDriver((Vector(2) << 500.0, 2000.0).finished(), [](int, int) { return 0.0; });
    s.design.wfeqValue = 2.0;
    // Far: 2 m and sqrt(10) m away. Near: 0.2 m in front, 0.3 m behind, on the driver.
    const Vector x = (Vector(5) << 2.0, 3.0, 0.2, -0.3, 0.0).finished(), y = (Vector(5) << 1, 2, 1, 1, 1).finished();
    const GreensResult g = greens(s, 1.0, 0.0, x, y, 0, 1);
    for (int n = 0; n < 2; ++n) {
        EXPECT_NEAR(g.power(n, 0), 1.0, 1e-14);  // (G / r)^2 at r = 2
        EXPECT_NEAR(g.power(n, 1), 0.4, 1e-14);
        EXPECT_EQ(g.power(n, 2), g.power.leftCols(2).maxCoeff());
        EXPECT_EQ(g.power(n, 3), 0.0);
        EXPECT_EQ(g.power(n, 4), g.power.leftCols(2).maxCoeff());
    }
    EXPECT_EQ(greens(s, 1.0, 0.0, x.tail(3), y.tail(3), 0, 1).power.cwiseAbs().maxCoeff(), 0.0);
}

TEST(Greens, RefusesDataThatDoNotFitTogether) {
    const struct {
        const char* messagePart;
        std::function<void(Scene&, Vector&, int&, int&)> spoil;
    } cases[] = {
        {"Frequency indices", [](Scene&, Vector&, int&, int& i2) { i2 = 3; }},
        {"Frequency indices", [](Scene&, Vector&, int& i1, int& i2) { i1 = 2, i2 = 1; }},
        {"Frequency indices", [](Scene& s, Vector&, int&, int&) { s.model->tw->f.conservativeResize(2); }},
        {"no speaker design", [](Scene& s, Vector&, int&, int&) { s.design = SpeakerDesign(); }},
        {"another model", [](Scene& s, Vector&, int&, int&) { s.design.tw = shapedChannels(6); }},
        {"driver_delay", [](Scene& s, Vector&, int&, int&) { s.model->wf->driver_delay.conservativeResize(kRows, 2); }},
        {"rolloff_sosa", [](Scene& s, Vector&, int&, int&) { s.model->wf->rolloff_sosa.resize(0, 6); }},
        {"coordinates", [](Scene&, Vector& x, int&, int&) { x.resize(3); }}};
    for (const auto& c : cases) {
        Scene s = twoWayColumn((Vector(3) << 100.0, 1000.0, 10000.0).finished());
        Vector x = Vector::Constant(2, 3.0);
        int i1 = 0, i2 = 2;
        c.spoil(s, x, i1, i2);
        EXPECT_NE(talvek_test::errorOf([&] { greens(s, 1.0, 0.0, x, Vector::Constant(2, 1.0), i1, i2); }).find(c.messagePart),
                  std::string::npos) << c.messagePart;
    }
}

// Physics check: a column optimised for an audience line follows the line's
// targets there, clearly better than the same column with every channel on one
// flat tap. Compared on the shape along the line (the unsteered level is
// arbitrary): steering removes at least a quarter of the RMS deviation in each
// octave band where the column spans several wavelengths.
TEST(GreensPhysics, SteeredColumnFollowsTheAudienceLineTargets) {
    if (talvek_test::modelDir().empty()) GTEST_SKIP() << "TALVEK_MODEL_DIR is not set";
    const std::pair<const char*, double> cases[] = {{"Vexal32", 500.0}, {"Vexal64", 250.0}};  // lowest steerable band
    const VenueItem line = talvek_test::typicalAudienceLine();  // 3 m to 25 m at 1.2 m, 94 to 88 dB
    for (const auto& [name, lowestBand] : cases) {
        const ModelData* model = nullptr;
        {
            talvek_test::ScopedCwd cwd(talvek_test::modelDir());
            model = loadModel(name);
        }
        PipelineOptions options;
        options.p1 = 2.5;
        options.p9 = 0.0;  // each section's own iteration count
        SFIO sfio{};
        const SpeakerDesign steered = runDesignPipeline(*model, {line}, options, sfio);
        clearSFIO(sfio);
        SpeakerDesign unsteered = steered;
        unsteered.wf = talvek_test::flatChannels(steered.wf.outputshifts.size());
        if (steered.twoway) unsteered.tw = talvek_test::flatChannels(steered.tw.outputshifts.size());

        const Vector x = Vector::LinSpaced(45, 3.0, 25.0), y = Vector::Constant(45, 1.2);
        const Vector& f = model->wf->f;
        const int N = f.size();
        const Matrix a = computeGreens(*model, steered, 2.5, 0.0, x, y, 0, N - 1, referenceCurve(), librarySettings()).power;
        const Matrix b = computeGreens(*model, unsteered, 2.5, 0.0, x, y, 0, N - 1, referenceCurve(), librarySettings()).power;
        for (double fc = 250.0; fc <= 8000.0; fc *= 2.0) {
            double shape[2] = {0, 0};  // RMS of SPL - target about its band mean, dB
            for (int which = 0; which < 2; ++which) {
                std::vector<double> dev;
                for (int n = 0; n < N; ++n)
                    if (f[n] >= fc / std::sqrt(2.0) && f[n] < fc * std::sqrt(2.0))
                        for (int p = 0; p < x.size(); ++p)
                            dev.push_back(10 * std::log10((which ? b : a)(n, p) / 4e-10) - (94.0 - 6.0 * (x[p] - 3.0) / 22.0));
                double mean = 0.0;
                for (double d : dev) mean += d / dev.size();
                for (double d : dev) shape[which] += (d - mean) * (d - mean) / dev.size();
                shape[which] = std::sqrt(shape[which]);
            }
            std::printf("%s %5.0f Hz: shape RMS steered %5.2f dB, unsteered %5.2f dB\n", name, fc, shape[0], shape[1]);
            if (fc >= lowestBand) EXPECT_LT(shape[0], 0.75 * shape[1]) << name << " " << fc << " Hz band";
        }
    }
}
