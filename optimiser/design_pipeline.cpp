// From venue (or from responses already in the SFIO record) to a complete
// steering design: optimise each section, store the responses, apply the
// array type's fixed crossover, normalise and design the FIR filters.
#include "optimiser/design_pipeline.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/kernels.h"
#include "core/lib_settings.h"
#include "filters/sos.h"
#include "optimiser/inner_optimisation.h"

namespace TalvekLib {

namespace {

// The processor's fixed crossover, one pair of second-order-section lists
// (b0 b1 b2 a0 a1 a2 per row) per set: pass-through, and squared second- and
// fourth-order Butterworth pairs at about 2 kHz for 96 kHz. The five-digit
// values are the ones the processor runs.
using SosRow = std::array<double, 6>;
const SosRow kPass = {1, 0, 0, 1, 0, 0};
const SosRow kLow1 = {0.0039161, 0.0078323, 0.0039161, 1, -1.8153, 0.83101};
const SosRow kHigh1 = {0.91159, -1.8232, 0.91159, 1, -1.8153, 0.83101};
const SosRow kLow2a = {1.5552e-05, 3.1113e-05, 1.5561e-05, 1, -1.7695, 0.78477};
const SosRow kLow2b = {1, 1.9994, 0.99941, 1, -1.8886, 0.90485};
const SosRow kHigh2a = {0.84268, -1.6854, 0.8427, 1, -1.7695, 0.78477};
const SosRow kHigh2b = {1, -2, 0.99998, 1, -1.8886, 0.90485};

// Crossover set of each array type 1..10.
constexpr int kSetOfArrayType[10] = {0, 1, 2, 1, 2, 2, 2, 2, 2, 2};

Matrix sosMatrix(std::initializer_list<SosRow> rows) { return matrixFromRows<6>(rows); }

struct CrossoverPair {
    Matrix lowPass, highPass;
};

CrossoverPair crossoverSet(int arraytype) {
    if (arraytype < 1 || arraytype > 10)
        throw std::runtime_error("Array type " + std::to_string(arraytype) + " has no crossover set.");
    switch (kSetOfArrayType[arraytype - 1]) {
        case 0:
            return {sosMatrix({kPass}), sosMatrix({kPass})};
        case 1:
            return {sosMatrix({kLow1, kLow1}), sosMatrix({kHigh1, kHigh1})};
        default:
            return {sosMatrix({kLow2a, kLow2b, kLow2a, kLow2b}), sosMatrix({kHigh2a, kHigh2b, kHigh2a, kHigh2b})};
    }
}

// ceil(10 p9) when positive; otherwise 0, which means the section's own count.
int wooferIterations(double p9) {
    const double n = std::ceil(10.0 * p9);
    if (!(n > 0.0)) return 0;
    return n >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

// The frequencies the section serves: those where its crossover target is
// not 0 (NaN counts as not 0), as applyCrossover keeps them. The crossover is
// computed on a copy that holds only the section's frequencies; the
// optimisation then reads the cached section at those frequencies, which
// gives what optimising a crossed-over copy gives without copying transfer
// data (over a hundred megabytes for the largest model).
template <typename Section>
IVector crossoverBand(const Section& section, const ModelData& model, double fs) {
    Section probe;
    probe.f = section.f;
    probe.designCrossover(model.fx, fs, model.bwx, model.iir_xover_order);
    return findIndices(probe.crossoverTarget, [](double t) { return t != 0.0; });
}

// Every channel multiplied by the cascade response of the sections.
void applySections(SectionResponse& response, const Matrix& sos, double fs) {
    const CVector cascade = H_sos(sos, response.freq, fs, 0).col(0);
    response.H.array().rowwise() *= cascade.transpose().array();
}

}  // namespace

void flattenAbove(SectionResponse& response, double fFlatten) {
    const IVector below = findIndices(response.freq, [fFlatten](double f) { return f <= fFlatten; });
    const IVector above = findIndices(response.freq, [fFlatten](double f) { return f > fFlatten; });
    double ref = 0.0;
    for (int k = 0; k < below.size(); ++k)
        for (int m = 0; m < response.H.rows(); ++m) ref = std::max(ref, std::abs(response.H(m, below[k])));
    // No reference magnitude (nothing at or below fFlatten, or all zero there):
    // nothing to limit against, so the response stays as it is.
    if (!(ref > 0.0)) return;

    // Elements above the limit keep their phase and get the reference
    // magnitude; all others stay exactly as they are.
    for (int k = 0; k < above.size(); ++k) {
        for (int m = 0; m < response.H.rows(); ++m) {
            Complex& h = response.H(m, above[k]);
            const Complex scaled = h / ref;
            const double magnitude = std::abs(scaled);
            if (magnitude > 1.0) h = scaled / magnitude * ref;
        }
    }
}

NormalisedResponse normaliseSection(const SectionResponse& response) {
    double peak = 0.0;  // std::abs of a complex value scales against overflow
    for (int n = 0; n < response.H.cols(); ++n)
        for (int m = 0; m < response.H.rows(); ++m) peak = std::max(peak, std::abs(response.H(m, n)));
    if (!(peak > 0.0)) throw std::runtime_error("Steering response is empty or all zero; nothing to design.");
    NormalisedResponse out;
    out.freq = response.freq;
    out.H = response.H / peak;
    out.peak = peak;
    return out;
}

SpeakerDesign runDesignPipeline(const ModelData& model, const std::vector<VenueItem>& items,
                                const PipelineOptions& options, SFIO& sfio) {
    const CrossoverPair xover = crossoverSet(model.arraytype);
    const int iterations = wooferIterations(options.p9);
    const double fs = librarySettings().sampleRate;
    SpeakerDesign result;

    if (model.twoway) {
        if (options.optimise) {
            if (!model.tw) throw std::runtime_error("Two-way model without a tweeter section.");
            // Both crossovers first (woofer, then tweeter), as their errors are ordered.
            const IVector wfBand = crossoverBand(*model.wf, model, fs);
            const IVector twBand = crossoverBand(*model.tw, model, fs);
            const SectionResponse woofer = optimiseSection(*model.wf, wfBand, options.p1, options.p2, items,
                                                           model.f_timbre, model.dB_timbre,
                                                           options.inactiveAsZero, iterations, options.fitCache);
            SectionResponse tweeter = optimiseSection(*model.tw, twBand, options.p1, options.p2, items,
                                                      model.f_timbre, model.dB_timbre, options.inactiveAsZero, 0,
                                                      options.fitCache);
            flattenAbove(tweeter, model.f_flatten);
            // Only now, with every section optimised, is the record replaced.
            clearSFIO(sfio);
            sfio.arraytype = model.arraytype;
            fillChannelSet(woofer, sfio.wf);
            fillChannelSet(tweeter, sfio.tw);
        }
        SectionResponse woofer = readChannelSet(sfio.wf);
        SectionResponse tweeter = readChannelSet(sfio.tw);
        applySections(tweeter, xover.highPass, fs);
        const NormalisedResponse T = normaliseSection(tweeter);
        applySections(woofer, xover.lowPass, fs);
        const NormalisedResponse W = normaliseSection(woofer);

        result.sos_xover_wf = xover.lowPass;
        result.sos_xover_tw = xover.highPass;
        result.twoway = true;
        result.fswf = fs;
        result.fstw = fs;
        result.wfeqValue = W.peak;
        result.arraytype = sfio.arraytype;
        result.wf = designChannelFilters(W, true, true, false);
        result.tw = designChannelFilters(T, false, true, true);
        result.wf.outputgain = 1.0;
        result.tw.outputgain = T.peak / W.peak;
        // The tweeter's taps sit 6 taps later than designed.
        result.tw.delaypick = addConstant(result.tw.delaypick, 6);
        return result;
    }

    if (options.optimise) {
        // The optimisation only reads the section, so the cached one serves.
        SectionResponse response = optimiseSection(*model.wf, options.p1, options.p2, items, model.f_timbre,
                                                   model.dB_timbre, options.inactiveAsZero, iterations,
                                                   options.fitCache);
        flattenAbove(response, model.f_flatten);
        clearSFIO(sfio);
        sfio.arraytype = model.arraytype;
        fillChannelSet(response, sfio.wf);
    }
    const NormalisedResponse W = normaliseSection(readChannelSet(sfio.wf));
    result.twoway = false;
    result.arraytype = sfio.arraytype;
    result.wfeqValue = W.peak;
    result.fswf = fs;
    result.sos_xover_wf = xover.lowPass;
    result.wf = designChannelFilters(W, true, true, false);
    result.wf.outputgain = 1.0;
    return result;
}

void storeDesign(const SpeakerDesign& result, SpeakerDesign& target) {
    // Copy first, then move in: an allocation failure leaves the target as it was.
    SpeakerDesign copy = result;
    target = std::move(copy);
}

}  // namespace TalvekLib
