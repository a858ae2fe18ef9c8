// Sound-field prediction speed: a coverage map of 200 x 100 points over every
// frequency of Vexal64, in field terms (frequencies x points x drivers) per
// second, next to the phase factors alone (the exponentials) by the same kernel
// and by plain std::cos / std::sin, measured in the same run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "acoustics/greens.h"
#include "model/model_cache.h"
#include "tests/flat_channels.h"

using namespace TalvekLib;

namespace {

// The generated archives are opened by plain name from their own folder.
const ModelData& vexal64() {
    static const ModelData* model = [] {
        const char* env = std::getenv("TALVEK_MODEL_DIR");
        std::filesystem::path dir = env ? env : "build/models";
        const auto old = std::filesystem::current_path();
        std::filesystem::current_path(dir);
        const ModelData* m = loadModel("Vexal64");
        std::filesystem::current_path(old);
        return m;
    }();
    return *model;
}

// Flat single-tap channels and pass-through crossovers: the cost of the field
// does not depend on the filter values, only on the channel counts.
SpeakerDesign flatDesign(const ModelData& m) {
    SpeakerDesign d;
    const Matrix passThrough = (Matrix(1, 6) << 1, 0, 0, 1, 0, 0).finished();
    d.arraytype = m.arraytype;
    d.wfeqValue = 1.0;
    d.twoway = m.twoway;
    d.fswf = d.fstw = 96000.0;
    d.sos_xover_wf = d.sos_xover_tw = passThrough;
    d.wf = talvek_test::flatChannels(m.wf->driverpos.size());
    if (m.twoway) d.tw = talvek_test::flatChannels(m.tw->driverpos.size());
    return d;
}

// A vertical section of a hall in front of a column hung at 4 m.
struct Map {
    Vector x, y;
};

Map coverageMap(int nx, int ny) {
    Map map{Vector(nx * ny), Vector(nx * ny)};
    for (int i = 0; i < nx; ++i)
        for (int j = 0; j < ny; ++j) {
            map.x[i * ny + j] = 1.0 + 39.0 * i / (nx - 1);
            map.y[i * ny + j] = 12.0 * j / (ny - 1);
        }
    return map;
}

int driverCount(const ModelData& m) {
    return m.wf->driverpos.size() + (m.twoway ? m.tw->driverpos.size() : 0);
}

void BM_CoverageMap(benchmark::State& state) {
    const ModelData& m = vexal64();
    const SpeakerDesign design = flatDesign(m);
    const Map map = coverageMap(200, 100);
    const int N = m.wf->f.size();
    for (auto _ : state) {
        GreensResult r = computeGreens(m, design, 4.0, -5.0, map.x, map.y, 0, N - 1, referenceCurve(),
                                       librarySettings());
        benchmark::DoNotOptimize(r.power.data());
    }
    const double terms = static_cast<double>(N) * map.x.size() * driverCount(m);
    state.counters["terms_per_s"] = benchmark::Counter(terms, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["drivers"] = driverCount(m);
    state.counters["frequencies"] = N;
}

// The delays of a realistic spread (a few ms to ~0.12 s), one per point and driver.
std::vector<double> delays(int count) {
    std::vector<double> tau(count);
    for (int i = 0; i < count; ++i) tau[i] = 0.003 + 0.12 * ((i * 7919) % count) / count;
    return tau;
}

void BM_PhasorsOnly(benchmark::State& state) {
    const ModelData& m = vexal64();
    const Vector& f = m.wf->f;
    const int pairs = 2000 * driverCount(m);  // a tenth of the map
    const std::vector<double> tau = delays(pairs);
    std::vector<double> re(f.size()), im(f.size());
    for (auto _ : state) {
        for (int i = 0; i < pairs; ++i) {
            phasorsForDelay(f.data(), f.size(), tau[i], re.data(), im.data());
            benchmark::DoNotOptimize(re.data());
            benchmark::DoNotOptimize(im.data());
        }
    }
    state.counters["terms_per_s"] = benchmark::Counter(static_cast<double>(pairs) * f.size(),
                                                       benchmark::Counter::kIsIterationInvariantRate);
}

void BM_PhasorsLibm(benchmark::State& state) {
    const ModelData& m = vexal64();
    const Vector& f = m.wf->f;
    const int pairs = 2000 * driverCount(m);
    const std::vector<double> tau = delays(pairs);
    std::vector<double> re(f.size()), im(f.size());
    for (auto _ : state) {
        for (int i = 0; i < pairs; ++i) {
            for (int n = 0; n < f.size(); ++n) {
                const double w = -2.0 * kPi * f[n] * tau[i];
                re[n] = std::cos(w);
                im[n] = std::sin(w);
            }
            benchmark::DoNotOptimize(re.data());
            benchmark::DoNotOptimize(im.data());
        }
    }
    state.counters["terms_per_s"] = benchmark::Counter(static_cast<double>(pairs) * f.size(),
                                                       benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(BM_CoverageMap)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_PhasorsOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PhasorsLibm)->Unit(benchmark::kMillisecond);
