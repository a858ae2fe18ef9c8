// Physics check of the prediction: a column optimised for an audience line must
// follow the line's targets there, clearly better than the same column with
// every channel on one flat filter.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "acoustics/greens.h"
#include "model/model_cache.h"
#include "optimiser/design_pipeline.h"
#include "optimiser/section_response.h"
#include "test_support.h"
#include "tests/flat_channels.h"

using namespace TalvekLib;

namespace {

constexpr double kHeight = 2.5;                 // column reference point, m
constexpr double kEar = 1.2;                    // audience line height, m
constexpr double kNear = 3.0, kFar = 25.0;      // line ends, m
constexpr double kNearDb = 94.0, kFarDb = 88.0;

const ModelData* bundledModel(const std::string& name) {
    const std::string dir = talvek_test::modelDir();
    if (dir.empty()) return nullptr;
    talvek_test::ScopedCwd cwd(dir);
    return loadModel(name);
}

struct BandFigures {
    double centre;
    double rms, worst;            // SPL - target, dB
    double shapeRms, shapeWorst;  // the same with the band's mean offset removed
};

// Deviations of the predicted SPL from the line's targets, per octave band
// over every frequency of the band and every point of the line.
std::vector<BandFigures> bandFigures(const Matrix& power, const Vector& f, const Vector& x) {
    std::vector<BandFigures> bands;
    for (double fc = 250.0; fc <= 8000.0; fc *= 2.0) {
        std::vector<double> dev;
        for (int n = 0; n < f.size(); ++n) {
            if (f[n] < fc / std::sqrt(2.0) || f[n] >= fc * std::sqrt(2.0)) continue;
            for (int p = 0; p < x.size(); ++p) {
                const double target = kNearDb + (kFarDb - kNearDb) * (x[p] - kNear) / (kFar - kNear);
                dev.push_back(10.0 * std::log10(power(n, p) / 4.0e-10) - target);
            }
        }
        double mean = 0.0;
        for (double d : dev) mean += d / dev.size();
        BandFigures b{fc, 0, 0, 0, 0};
        for (double d : dev) {
            b.rms += d * d / dev.size();
            b.worst = std::max(b.worst, std::fabs(d));
            b.shapeRms += (d - mean) * (d - mean) / dev.size();
            b.shapeWorst = std::max(b.shapeWorst, std::fabs(d - mean));
        }
        b.rms = std::sqrt(b.rms);
        b.shapeRms = std::sqrt(b.shapeRms);
        bands.push_back(b);
    }
    return bands;
}


// The bands where the column is long enough (several wavelengths of its
// drivers) to shape its coverage. Vexal32's 250 Hz band (1.6 m of woofers) is
// printed for the record only.
struct SteerableBands {
    const char* model;
    std::vector<double> centres;
};

void PrintTo(const SteerableBands& p, std::ostream* os) { *os << p.model; }

class GreensPhysics : public ::testing::TestWithParam<SteerableBands> {};

TEST_P(GreensPhysics, SteeredColumnFollowsTheAudienceLineTargets) {
    const ModelData* model = bundledModel(GetParam().model);
    if (model == nullptr) GTEST_SKIP() << "TALVEK_MODEL_DIR is not set";

    VenueItem line;
    line.x1 = kNear;
    line.x2 = kFar;
    line.z1 = line.z2 = kEar;
    line.level1 = kNearDb;
    line.level2 = kFarDb;
    PipelineOptions options;
    options.p1 = kHeight;
    options.p2 = 0.0;
    options.p9 = 0.0;  // each section's own iteration count
    SFIO sfio{};
    const SpeakerDesign steered = runDesignPipeline(*model, {line}, options, sfio);
    clearSFIO(sfio);

    // The same column, crossovers and scale, every channel one flat tap.
    SpeakerDesign unsteered = steered;
    unsteered.wf = talvek_test::flatChannels(steered.wf.outputshifts.size());
    if (steered.twoway) unsteered.tw = talvek_test::flatChannels(steered.tw.outputshifts.size());

    const int P = static_cast<int>((kFar - kNear) / 0.5) + 1;
    const Vector x = Vector::LinSpaced(P, kNear, kFar);
    const Vector y = Vector::Constant(P, kEar);
    const int N = model->wf->f.size();
    const GreensResult a = computeGreens(*model, steered, kHeight, 0.0, x, y, 0, N - 1, referenceCurve(),
                                         librarySettings());
    const GreensResult b = computeGreens(*model, unsteered, kHeight, 0.0, x, y, 0, N - 1, referenceCurve(),
                                         librarySettings());
    const std::vector<BandFigures> s = bandFigures(a.power, model->wf->f, x);
    const std::vector<BandFigures> u = bandFigures(b.power, model->wf->f, x);

    std::printf("%s along the line (dB): band | steered RMS worst | steered shape RMS worst | "
                "unsteered shape RMS worst\n", GetParam().model);
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::printf("  %5.0f Hz | %5.2f %5.2f | %5.2f %5.2f | %5.2f %5.2f\n", s[i].centre, s[i].rms, s[i].worst,
                    s[i].shapeRms, s[i].shapeWorst, u[i].shapeRms, u[i].shapeWorst);
    }
    // The unsteered level is arbitrary, so the comparison is on the shape along
    // the line: steering must remove at least a quarter of the RMS deviation.
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto& steerable = GetParam().centres;
        if (std::find(steerable.begin(), steerable.end(), s[i].centre) == steerable.end()) continue;
        EXPECT_LT(s[i].shapeRms, 0.75 * u[i].shapeRms) << s[i].centre << " Hz band";
    }
}

INSTANTIATE_TEST_SUITE_P(Models, GreensPhysics,
                         ::testing::Values(SteerableBands{"Vexal32", {500.0, 1000.0, 2000.0, 4000.0, 8000.0}},
                                           SteerableBands{"Vexal64",
                                                          {250.0, 500.0, 1000.0, 2000.0, 4000.0, 8000.0}}),
                         [](const auto& info) { return std::string(info.param.model); });

}  // namespace
