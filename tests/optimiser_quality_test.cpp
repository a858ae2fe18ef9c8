// How well the optimised responses follow the venue targets on the bundled
// models, held as a regression: a column with its reference point at 2.5 m,
// upright and tilted -5 degrees, over a floor audience line at ear height
// (1.2 m) from 3 m to 25 m, 94 dB SPL near and 88 dB far.
//
// Measure: in every fitted direction (audience directions of non-zero
// weight) the achieved level 20 log10 |G x| against the target T (timbre
// included), G being the transfer matrix the fit itself uses. The fit
// adapts only the shape of the levels (its level correction removes the
// weighted mean dB error at every iteration, and the pipeline normalises the
// response afterwards), so the weighted mean error of each frequency is taken
// out first. Per octave band 250 Hz - 8 kHz: RMS and worst deviation in dB.
// Below fx the woofer section serves a frequency, from fx up the tweeter.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <iostream>
#include <limits>

#include "core/interpolation.h"
#include "model/model_cache.h"
#include "optimiser/design_pipeline.h"
#include "optimiser/inner_optimisation.h"
#include "test_support.h"
#include "tests/typical_venue.h"

using namespace TalvekLib;

namespace {

constexpr int kBands = 6;
constexpr std::array<double, kBands> kBandCentres = {250, 500, 1000, 2000, 4000, 8000};

struct BandFigures {
    double rms = 0.0, worst = 0.0;
};
using BandTable = std::array<BandFigures, kBands>;

struct BandSums {
    double squares = 0.0, worst = 0.0;
    int count = 0;
};

VenueItem floorLine() {
    return talvek_test::typicalAudienceLine();
}

int bandOf(double f) {
    for (int b = 0; b < kBands; ++b)
        if (f >= kBandCentres[b] / std::sqrt(2.0) && f < kBandCentres[b] * std::sqrt(2.0)) return b;
    return -1;
}

// Adds the deviations of one section's stored responses in [fLow, fHigh).
void addSection(const ModelData& m, const DriverData& section, const SectionResponse& r, double tilt, double fLow,
                double fHigh, std::array<BandSums, kBands>& sums) {
    const VenueDirections d = venueDirections(floorLine(), sectionFrame(2.5, tilt, section.yshift), false, 0.25);
    const FitDirections fit =
        selectFitDirections(d.angleIndex, d.target, d.distance, d.weight, section.phi.size(), false);
    const int nDir = fit.angleIndex.size(), nChan = section.driverpos.size();
    Matrix tau(nDir, nChan);
    for (int j = 0; j < nDir; ++j)
        for (int c = 0; c < nChan; ++c) tau(j, c) = section.phi[fit.angleIndex[j]] * section.driverpos[c] / 343.0;
    const double meanTau = tau.mean();
    const Vector timbre = dbToAmplitude(interpLogX(m.f_timbre, m.dB_timbre, r.freq, true)).col(0);

    for (int n = 0; n < r.freq.size(); ++n) {
        const double f = r.freq[n];
        const int band = bandOf(f);
        if (f < fLow || f >= fHigh || band < 0) continue;
        const int k = std::find(section.f.data(), section.f.data() + section.f.size(), f) - section.f.data();
        ASSERT_LT(k, section.f.size());
        Vector dev = Vector::Constant(nDir, std::nan(""));
        double weightSum = 0.0, weightedDev = 0.0;
        for (int j = 0; j < nDir; ++j) {
            if (fit.weight[j] == 0.0) continue;
            Complex y = 0.0;
            for (int c = 0; c < nChan; ++c)
                y += section.transfer(k, fit.angleIndex[j], c) * std::polar(1.0, 2 * kPi * f * (tau(j, c) - meanTau)) *
                     r.H(c, n);
            dev[j] = 20.0 * std::log10(std::abs(y) / (fit.target[j] * timbre[n]));
            weightSum += fit.weight[j];
            weightedDev += fit.weight[j] * dev[j];
        }
        for (int j = 0; j < nDir; ++j) {
            if (std::isnan(dev[j])) continue;
            const double e = dev[j] - weightedDev / weightSum;
            sums[band].squares += e * e;
            sums[band].worst = std::max(sums[band].worst, std::abs(e));
            ++sums[band].count;
        }
    }
}

BandTable measure(const ModelData& m, double tilt) {
    PipelineOptions o;
    o.p1 = 2.5;
    o.p2 = tilt;
    o.p9 = 0.0;  // the sections' own iteration counts
    SFIO sfio{};
    runDesignPipeline(m, {floorLine()}, o, sfio);
    std::array<BandSums, kBands> sums{};
    const double fx = m.twoway ? m.fx : std::numeric_limits<double>::infinity();
    addSection(m, *m.wf, readChannelSet(sfio.wf), tilt, 0.0, fx, sums);
    if (m.twoway) addSection(m, *m.tw, readChannelSet(sfio.tw), tilt, fx, 1e9, sums);
    clearSFIO(sfio);
    BandTable out;
    for (int b = 0; b < kBands; ++b) out[b] = {std::sqrt(sums[b].squares / sums[b].count), sums[b].worst};
    return out;
}

struct QualityCase {
    const char* model;
    double tilt;
    BandTable expected;  // measured with this implementation
};

// Figures as measured (x86-64, GCC, Eigen 3.4). Woofer bands hold to 0.2 dB
// RMS and 0.5 dB worst. The tweeter bands of the two-way models (one unbroken
// tweeter line, a short fit) now fit to about 1 dB RMS, but single frequencies
// there can still stray (Vexal64 tilted, 8 kHz: 18 dB worst), and Vexal8 at
// 8 kHz is far above its grating-lobe limit, where the desired-magnitude
// iteration is chaotic (a perturbation of 1e-15 in G moves the worst figure
// by 15 dB). There only the RMS is held, to 2.5 dB.
const QualityCase kCases[] = {
    {"Vexal8", 0.0, {{{2.73, 4.18}, {2.64, 3.99}, {2.64, 4.10}, {1.78, 3.92}, {1.43, 3.05}, {6.01, 26.72}}}},
    {"Vexal8", -5.0, {{{2.73, 4.17}, {2.66, 4.03}, {2.65, 4.11}, {1.79, 3.92}, {1.45, 3.11}, {5.48, 25.36}}}},
    {"Vexal32", 0.0, {{{2.53, 3.87}, {2.43, 4.01}, {1.45, 3.37}, {1.40, 3.24}, {1.35, 3.06}, {0.96, 1.95}}}},
    {"Vexal32", -5.0, {{{2.57, 3.94}, {2.44, 4.07}, {1.46, 3.39}, {1.43, 3.26}, {1.40, 3.09}, {0.95, 1.89}}}},
    {"Vexal64", 0.0, {{{1.13, 2.64}, {0.92, 1.86}, {0.58, 1.37}, {0.87, 2.62}, {0.89, 1.89}, {0.55, 1.28}}}},
    {"Vexal64", -5.0, {{{1.14, 2.71}, {0.93, 1.90}, {0.58, 1.26}, {0.86, 2.70}, {0.90, 1.93}, {1.00, 18.41}}}},
};

void PrintTo(const QualityCase& q, std::ostream* os) { *os << q.model << " tilt " << q.tilt; }

class OptimiserQuality : public ::testing::TestWithParam<QualityCase> {};

}  // namespace

TEST_P(OptimiserQuality, BandDeviationsHold) {
    if (talvek_test::modelDir().empty()) GTEST_SKIP() << "TALVEK_MODEL_DIR is not set";
    const QualityCase& q = GetParam();
    const ModelData* m = nullptr;
    {
        talvek_test::ScopedCwd cwd(talvek_test::modelDir());
        m = loadModel(q.model);
    }
    const BandTable got = measure(*m, q.tilt);
    for (int b = 0; b < kBands; ++b) {
        std::cout << q.model << " tilt " << q.tilt << " band " << kBandCentres[b] << " Hz: RMS " << got[b].rms
                  << " dB, worst " << got[b].worst << " dB\n";
        const bool wellPosed = m->twoway ? kBandCentres[b] < m->fx : kBandCentres[b] < 8000;
        const BandFigures& want = q.expected[b];
        EXPECT_NEAR(got[b].rms, want.rms, wellPosed ? 0.2 : 2.5) << "band " << kBandCentres[b];
        if (wellPosed) EXPECT_NEAR(got[b].worst, want.worst, 0.5) << "band " << kBandCentres[b];
    }
}

INSTANTIATE_TEST_SUITE_P(TypicalVenue, OptimiserQuality, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<QualityCase>& info) {
                             return std::string(info.param.model) + (info.param.tilt == 0.0 ? "Upright" : "TiltedDown");
                         });
