// designFirWeights on woofer-sized (48 channels, set 1) and tweeter-sized
// (16 channels, set 2) weights, formed as designChannelFilters forms them from
// a smooth steering response, plus the whole designChannelFilters call. The
// bare product D^T W is the baseline: a design costs a few such products.
#include <benchmark/benchmark.h>

#include <cmath>

#include "core/lib_settings.h"
#include "filters/channel_filter_design.h"
#include "filters/difference_tables.h"
#include "filters/fir_design.h"

namespace {

using namespace TalvekLib;

// Delay-steered channels with a gentle taper on the 215 output frequencies.
NormalisedResponse steeringResponse(int channels, double delayStep, double cutoffHz) {
    const Vector f = outputFrequencies(librarySettings());
    const double fs = librarySettings().sampleRate;
    NormalisedResponse r;
    r.freq = f;
    r.H.resize(channels, f.size());
    for (int m = 0; m < channels; ++m) {
        const double delay = (m - (channels - 1) / 2.0) * delayStep;
        const double gain = 0.6 + 0.4 * std::cos(3.0 * m / channels);
        for (int k = 0; k < f.size(); ++k) {
            const Complex s(0.0, f[k] / cutoffHz);
            r.H(m, k) = gain * std::polar(1.0, -2.0 * kPi * f[k] * delay / fs) /
                        (s * s + std::sqrt(2.0) * s + 1.0);
        }
    }
    r.peak = r.H.cwiseAbs().maxCoeff();
    r.H /= r.peak;
    return r;
}

// The weights designChannelFilters hands to designFirWeights (no DC point).
Matrix realWeights(const NormalisedResponse& r, const DifferenceTableSet& set) {
    const int N = r.H.cols();
    return set.W0.middleCols(1, N) * r.H.real().transpose() +
           set.W1.middleCols(1, N) * r.H.imag().transpose();
}

void runFirWeights(benchmark::State& state, int setIndex, int channels, double delayStep, double cutoff) {
    const DifferenceTableSet& set = getDifferenceTableSet(setIndex);
    const Matrix W = realWeights(steeringResponse(channels, delayStep, cutoff), set);
    for (auto _ : state) benchmark::DoNotOptimize(designFirWeights(W, set, set.order));
}

// Baseline: one real filter D^T W, the product each quantisation pass repeats.
void runProductBaseline(benchmark::State& state, int setIndex, int channels, double delayStep,
                        double cutoff) {
    const DifferenceTableSet& set = getDifferenceTableSet(setIndex);
    const Matrix W = realWeights(steeringResponse(channels, delayStep, cutoff), set);
    const Matrix Dt = set.D.cast<double>().transpose();
    Matrix A;
    for (auto _ : state) {
        A.noalias() = Dt * W;
        benchmark::DoNotOptimize(A.data());
    }
}

void BM_ProductBaseline_Set1_48ch(benchmark::State& s) { runProductBaseline(s, 1, 48, 5.0, 1000.0); }
void BM_ProductBaseline_Set2_16ch(benchmark::State& s) { runProductBaseline(s, 2, 16, 2.0, 12000.0); }
void BM_FirWeights_Set1_48ch(benchmark::State& s) { runFirWeights(s, 1, 48, 5.0, 1000.0); }
void BM_FirWeights_Set2_16ch(benchmark::State& s) { runFirWeights(s, 2, 16, 2.0, 12000.0); }

void BM_ChannelFilters_Set1_48ch(benchmark::State& state) {
    const NormalisedResponse r = steeringResponse(48, 5.0, 1000.0);
    getDifferenceTableSet(1);  // built outside the timing
    for (auto _ : state) benchmark::DoNotOptimize(designChannelFilters(r, true, true, false));
}

BENCHMARK(BM_ProductBaseline_Set1_48ch)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProductBaseline_Set2_16ch)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FirWeights_Set1_48ch)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FirWeights_Set2_16ch)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChannelFilters_Set1_48ch)->Unit(benchmark::kMicrosecond);

}  // namespace
