// The optimisation and design for the typical venue (column reference point
// at 2.5 m, upright, floor audience line at 1.2 m from 3 m to 25 m, 94/88 dB)
// on Vexal64 and Vexal8, whole and split into its costs:
//   DesignPipeline          the whole optimisation and FIR design on one
//                           thread (target for Vexal64: 60 ms); Repeated keeps
//                           the decomposed Gram matrices between designs, as
//                           the library does for designs over the same
//                           directions; TwoThreads shares each section's
//                           frequencies with a second thread, as the library
//                           does by default (wall time)
//   SectionFit/iterations:1 per-frequency transfer matrices, propagation phase,
//                           Gram matrix and its decomposition, one solve
//   SectionFit/iterations:N the same with the given count; the difference to
//                           iterations:1 is the iterations' cost
//   ChannelFilterDesign     the FIR design of the normalised responses
//   ComplexGramBaseline     the plain complex product G^H G for every woofer
//                           frequency, the textbook way to form the normal
//                           equations, as a yardstick measured in the same run
//   SplitGram               the real Gram product for every woofer
//                           frequency, by Eigen's baseline kernels and by the
//                           optimised BLAS (the fit's way for a column whose
//                           drivers all differ)
//   StructuredGram          the same matrices from the column's structure,
//                           the fit's way when drivers share kinds and spacings
// Take the ratios of one run (the machine may be shared) and the minimum of
// repetitions: --benchmark_repetitions=5.
// Models come from TALVEK_MODEL_DIR, else from ./models (the build folder).
// Apart from TwoThreads everything runs on the calling thread: Eigen is built
// without OpenMP, OpenBLAS is its single-threaded build and TALVEK_THREADS=1
// is set while a single-thread design runs. Peak memory: switch_and_design.c.
#include <benchmark/benchmark.h>
#include <cblas.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "core/lib_settings.h"
#include "model/model_cache.h"
#include "optimiser/design_pipeline.h"
#include "optimiser/inner_optimisation.h"
#include "optimiser/structured_gram.h"
#include "tests/typical_venue.h"

namespace {

using namespace TalvekLib;

std::vector<VenueItem> typicalVenue() {
    return {talvek_test::typicalAudienceLine()};
}

const ModelData* modelOrSkip(benchmark::State& state, const char* name) {
    const char* dir = std::getenv("TALVEK_MODEL_DIR");
    const std::string folder = dir ? dir : "models";
    char previous[4096];
    if (getcwd(previous, sizeof previous) == nullptr || chdir(folder.c_str()) != 0) {
        state.SkipWithError("model folder not found: set TALVEK_MODEL_DIR");
        return nullptr;
    }
    const ModelData* m = nullptr;
    try {
        m = loadModel(name);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
    if (chdir(previous) != 0) state.SkipWithError("cannot return to the working folder");
    return m;
}

// The woofer section as the pipeline optimises it (crossed over in two-way models).
WfData workingWoofer(const ModelData& m) {
    WfData wf(*m.wf);
    if (m.twoway) wf.applyCrossover(m.fx, librarySettings().sampleRate, m.bwx, m.iir_xover_order);
    return wf;
}

// TALVEK_THREADS for the duration of one benchmark: one thread unless asked.
struct ThreadSetting {
    explicit ThreadSetting(bool two) {
        if (two)
            unsetenv("TALVEK_THREADS");
        else
            setenv("TALVEK_THREADS", "1", 1);
    }
    ~ThreadSetting() { unsetenv("TALVEK_THREADS"); }
};

void DesignPipeline(benchmark::State& state, const char* name, bool keep, bool twoThreads = false) {
    const ModelData* m = modelOrSkip(state, name);
    if (m == nullptr) return;
    const ThreadSetting threads(twoThreads);
    FitCache cache;
    PipelineOptions options;
    options.p1 = 2.5;
    options.p9 = 0.0;
    if (keep) options.fitCache = &cache;
    SFIO sfio{};
    for (auto _ : state) benchmark::DoNotOptimize(runDesignPipeline(*m, typicalVenue(), options, sfio));
    clearSFIO(sfio);
}

void SectionFit(benchmark::State& state, const char* name, bool tweeter) {
    const ModelData* m = modelOrSkip(state, name);
    if (m == nullptr) return;
    const ThreadSetting threads(false);
    if (tweeter && !m->twoway) {
        state.SkipWithError("one-way model");
        return;
    }
    const int iterations = static_cast<int>(state.range(0));
    if (tweeter) {
        TwData tw(*m->tw);
        tw.applyCrossover(m->fx, librarySettings().sampleRate, m->bwx, m->iir_xover_order);
        for (auto _ : state)
            benchmark::DoNotOptimize(
                optimiseSection(tw, 2.5, 0.0, typicalVenue(), m->f_timbre, m->dB_timbre, false, iterations));
        state.counters["frequencies"] = tw.f.size();
    } else {
        const WfData wf = workingWoofer(*m);
        for (auto _ : state)
            benchmark::DoNotOptimize(
                optimiseSection(wf, 2.5, 0.0, typicalVenue(), m->f_timbre, m->dB_timbre, false, iterations));
        state.counters["frequencies"] = wf.f.size();
    }
}

void ChannelFilterDesign(benchmark::State& state, const char* name) {
    const ModelData* m = modelOrSkip(state, name);
    if (m == nullptr) return;
    PipelineOptions options;
    options.p1 = 2.5;
    options.p9 = 0.0;
    SFIO sfio{};
    runDesignPipeline(*m, typicalVenue(), options, sfio);
    // The normalised responses as the pipeline forms them (crossover applied
    // in two-way models is a fixed scaling of no consequence for the cost).
    const NormalisedResponse W = normaliseSection(readChannelSet(sfio.wf));
    const bool twoway = m->twoway;
    const NormalisedResponse T = twoway ? normaliseSection(readChannelSet(sfio.tw)) : NormalisedResponse{};
    clearSFIO(sfio);
    for (auto _ : state) {
        benchmark::DoNotOptimize(designChannelFilters(W, true, true, false));
        if (twoway) benchmark::DoNotOptimize(designChannelFilters(T, false, true, true));
    }
}

// The woofer's transfer matrices towards every grid direction, one column per
// driver position (the layout the fit works on), for the yardsticks below.
std::vector<CMatrix> perPositionTransfer(const WfData& wf) {
    std::vector<CMatrix> G;
    for (std::size_t k = 0; k < wf.H.size(); ++k) {
        CMatrix g(wf.phi.size(), wf.driverpos.size());
        for (int d = 0; d < g.cols(); ++d)
            for (int a = 0; a < g.rows(); ++a) g(a, d) = wf.transfer(static_cast<int>(k), a, d);
        G.push_back(std::move(g));
    }
    return G;
}

void ComplexGramBaseline(benchmark::State& state, const char* name) {
    const ModelData* m = modelOrSkip(state, name);
    if (m == nullptr) return;
    const std::vector<CMatrix> G = perPositionTransfer(workingWoofer(*m));
    CMatrix A;
    for (auto _ : state) {
        for (const CMatrix& g : G) {
            A.noalias() = g.adjoint() * g;
            benchmark::DoNotOptimize(A.data());
        }
    }
}

// The fit's Gram product S^T S of S = [Re G, Im G], lower triangle, for every
// woofer frequency: through Eigen's own kernels (built for the baseline
// x86-64 vector width, as the library is) and through the optimised BLAS.
void SplitGram(benchmark::State& state, const char* name, bool blas) {
    const ModelData* m = modelOrSkip(state, name);
    if (m == nullptr) return;
    std::vector<Matrix> S;
    for (const CMatrix& g : perPositionTransfer(workingWoofer(*m))) {
        Matrix s(g.rows(), 2 * g.cols());
        s << g.real(), g.imag();
        S.push_back(std::move(s));
    }
    const int n = S.front().cols();
    Matrix SS(n, n);
    for (auto _ : state) {
        for (const Matrix& s : S) {
            if (blas) {
                cblas_dsyrk(CblasColMajor, CblasLower, CblasTrans, n, s.rows(), 1.0, s.data(), s.rows(), 0.0,
                            SS.data(), n);
            } else {
                SS.setZero();
                SS.selfadjointView<Eigen::Lower>().rankUpdate(s.transpose());
            }
            benchmark::DoNotOptimize(SS.data());
        }
    }
}

void StructuredGramBench(benchmark::State& state, const char* name) {
    const ModelData* m = modelOrSkip(state, name);
    if (m == nullptr) return;
    const WfData wf = workingWoofer(*m);
    // One kind per stored column and reading direction, as the fit gathers them.
    std::vector<std::pair<int, bool>> kinds;
    std::vector<int> kindOf;
    for (int d = 0; d < wf.driverpos.size(); ++d) {
        const std::pair<int, bool> key(wf.transferColumn(d), wf.transferMirrored(d));
        const auto at = std::find(kinds.begin(), kinds.end(), key);
        kindOf.push_back(static_cast<int>(at - kinds.begin()));
        if (at == kinds.end()) kinds.push_back(key);
    }
    std::vector<Matrix> S;
    for (const CMatrix& g : perPositionTransfer(wf)) {
        Matrix s(g.rows(), 2 * g.cols());
        s << g.real(), g.imag();
        S.push_back(std::move(s));
    }
    StructuredGram gram(kindOf, wf.driverpos);
    if (!gram.worthwhile()) state.SkipWithError("the column's drivers share too little");
    const int drivers = wf.driverpos.size();
    CMatrix A;
    for (auto _ : state) {
        for (const Matrix& s : S) {
            gram.compute(s.rows(), s.data(), s.col(drivers).data(), A);
            benchmark::DoNotOptimize(A.data());
        }
    }
    state.counters["kinds"] = static_cast<double>(kinds.size());
}

}  // namespace

BENCHMARK_CAPTURE(DesignPipeline, Vexal64, "Vexal64", false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DesignPipeline, Vexal64Repeated, "Vexal64", true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DesignPipeline, Vexal64TwoThreads, "Vexal64", false, true)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SectionFit, Vexal64Woofer, "Vexal64", false)->ArgName("iterations")->Arg(1)->Arg(5)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SectionFit, Vexal64Tweeter, "Vexal64", true)->ArgName("iterations")->Arg(1)->Arg(5)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ChannelFilterDesign, Vexal64, "Vexal64")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ComplexGramBaseline, Vexal64Woofer, "Vexal64")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SplitGram, Vexal64WooferEigen, "Vexal64", false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SplitGram, Vexal64WooferBlas, "Vexal64", true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(StructuredGramBench, Vexal64Woofer, "Vexal64")->Name("StructuredGram/Vexal64Woofer")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DesignPipeline, Vexal8, "Vexal8", false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SectionFit, Vexal8, "Vexal8", false)->ArgName("iterations")->Arg(1)->Arg(5)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ChannelFilterDesign, Vexal8, "Vexal8")->Unit(benchmark::kMillisecond);
