// The design pipeline: flattening, normalising, the one-way and two-way
// results, the iteration rule, and designs rebuilt from a stored record.
#include <gtest/gtest.h>

#include <cmath>

#include "core/exceptions.h"
#include "core/lib_settings.h"
#include "filters/sos.h"
#include "model/model_cache.h"
#include "optimiser/design_pipeline.h"
#include "optimiser/inner_optimisation.h"
#include "test_support.h"
#include "tests/typical_venue.h"

using namespace TalvekLib;

namespace {

SectionResponse response(const Vector& freq, const CMatrix& H) {
    SectionResponse r;
    r.freq = freq;
    r.H = H;
    return r;
}

const Vector kFreq4 = (Vector(4) << 100.0, 200.0, 300.0, 400.0).finished();
const CMatrix kH4 = (CMatrix(2, 4) << Complex(1, 1), Complex(-2, 0), Complex(0, 3), Complex(0.5, 0),
                     Complex(0, -0.5), Complex(0.3, 0.4), Complex(-4, 3), Complex(1, -1))
                        .finished();

void expectSameChannels(const ChannelDesign& a, const ChannelDesign& b) {
    EXPECT_EQ(a.order, b.order);
    EXPECT_EQ(a.outputgain, b.outputgain);
    EXPECT_EQ(a.delaypick, b.delaypick);
    EXPECT_EQ(a.weights, b.weights);
    EXPECT_EQ(a.outputshifts, b.outputshifts);
}

void expectSameDesign(const SpeakerDesign& a, const SpeakerDesign& b) {
    EXPECT_EQ(a.sos_xover_wf, b.sos_xover_wf);
    EXPECT_EQ(a.sos_xover_tw, b.sos_xover_tw);
    EXPECT_EQ(a.twoway, b.twoway);
    EXPECT_EQ(a.fswf, b.fswf);
    EXPECT_EQ(a.fstw, b.fstw);
    EXPECT_EQ(a.wfeqValue, b.wfeqValue);
    EXPECT_EQ(a.arraytype, b.arraytype);
    expectSameChannels(a.wf, b.wf);
    expectSameChannels(a.tw, b.tw);
}

// The typical venue: a floor audience line at ear height from 3 m to 25 m.
std::vector<VenueItem> floorVenue() {
    return {talvek_test::typicalAudienceLine()};
}

PipelineOptions columnAt(double height, double tilt, double p9) {
    PipelineOptions o;
    o.p1 = height;
    o.p2 = tilt;
    o.p9 = p9;
    return o;
}

}  // namespace

// ---------------------------------------------------------------- flatten, normalise

TEST(FlattenAbove, LimitAboveEveryFrequencyChangesNothing) {
    SectionResponse r = response(kFreq4, kH4);
    flattenAbove(r, 1000.0);
    EXPECT_EQ(r.H, kH4);
    flattenAbove(r, 400.0);  // the top frequency itself counts as below
    EXPECT_EQ(r.H, kH4);
    flattenAbove(r, 50.0);  // nothing below: no reference, nothing to limit
    EXPECT_EQ(r.H, kH4);
}

TEST(FlattenAbove, ElementsAboveAreCappedAtTheLargestBelowWithTheirPhase) {
    SectionResponse r = response(kFreq4, kH4);
    flattenAbove(r, 200.0);
    const double ref = 2.0;  // largest magnitude at 100 and 200 Hz
    for (int m = 0; m < 2; ++m) {
        for (int n = 0; n < 4; ++n) {
            const Complex h = kH4(m, n);
            if (n < 2 || std::abs(h) <= ref) {
                EXPECT_EQ(r.H(m, n), h) << m << "," << n;
            } else {
                EXPECT_NEAR(std::abs(r.H(m, n)), ref, 1e-15);
                EXPECT_NEAR(std::arg(r.H(m, n)), std::arg(h), 1e-15);
            }
        }
    }
}

TEST(NormaliseSection, DividesByThePeakMagnitude) {
    const NormalisedResponse n = normaliseSection(response(kFreq4, kH4));
    EXPECT_DOUBLE_EQ(n.peak, 5.0);  // |-4 + 3j|
    EXPECT_EQ(n.freq, kFreq4);
    EXPECT_NEAR((n.H * 5.0 - kH4).norm(), 0.0, 1e-15);
    EXPECT_THROW(normaliseSection(response(kFreq4, CMatrix::Zero(2, 4))), std::runtime_error);
}

// ---------------------------------------------------------------- on the bundled models

class PipelineOnModels : public ::testing::Test {
protected:
    void SetUp() override {
        if (talvek_test::modelDir().empty()) GTEST_SKIP() << "TALVEK_MODEL_DIR is not set";
    }
    // The cache keeps one model: each reference is valid until the next call.
    static const ModelData& model(const char* name) {
        talvek_test::ScopedCwd cwd(talvek_test::modelDir());
        return *loadModel(name);
    }
};

TEST_F(PipelineOnModels, OneWayDesignLeavesTheTweeterEmpty) {
    const ModelData& m = model("Vexal8");
    ASSERT_FALSE(m.twoway);
    SFIO sfio{};
    const SpeakerDesign d = runDesignPipeline(m, floorVenue(), columnAt(2.5, 0.0, 0.0), sfio);
    EXPECT_FALSE(d.twoway);
    EXPECT_EQ(d.fstw, 0.0);
    EXPECT_EQ(d.fswf, 96000.0);
    EXPECT_EQ(d.sos_xover_tw.size(), 0);
    EXPECT_EQ(d.sos_xover_wf, (Matrix(1, 6) << 1, 0, 0, 1, 0, 0).finished());  // array type 1: pass-through
    EXPECT_EQ(d.tw.outputshifts.size(), 0);
    EXPECT_EQ(d.tw.delaypick.size(), 0);
    EXPECT_EQ(d.tw.outputgain, 0.0);
    EXPECT_EQ(d.wf.outputgain, 1.0);
    EXPECT_EQ(d.wf.outputshifts.size(), m.wf->driverpos.size());
    EXPECT_EQ(d.arraytype, m.arraytype);
    EXPECT_EQ(sfio.arraytype, m.arraytype);
    EXPECT_TRUE(sfio.tw.nChan == 0 && sfio.tw.nFreq == 0 && sfio.tw.freq == nullptr && sfio.tw.re == nullptr &&
                sfio.tw.im == nullptr);
    EXPECT_EQ(d.wfeqValue, readChannelSet(sfio.wf).H.cwiseAbs().maxCoeff());
    clearSFIO(sfio);
}

// ceil(10 x 0.25) = 3 woofer iterations: the record holds exactly the
// three-iteration fit (flattened), and neither the two- nor four-iteration one.
TEST_F(PipelineOnModels, QuarterP9GivesThreeIterations) {
    const ModelData& m = model("Vexal8");
    SFIO sfio{};
    runDesignPipeline(m, floorVenue(), columnAt(2.5, 0.0, 0.25), sfio);
    const CMatrix stored = readChannelSet(sfio.wf).H;
    auto fit = [&](int n) {
        SectionResponse r = optimiseSection(*m.wf, 2.5, 0.0, floorVenue(), m.f_timbre, m.dB_timbre, false, n);
        flattenAbove(r, m.f_flatten);
        return r.H;
    };
    EXPECT_EQ(stored, fit(3));
    EXPECT_NE(stored, fit(2));
    EXPECT_NE(stored, fit(4));
    clearSFIO(sfio);
}

TEST_F(PipelineOnModels, TwoWayTweeterTapsSitSixLater) {
    const ModelData& m = model("Vexal16");
    ASSERT_TRUE(m.twoway);
    SFIO sfio{};
    const SpeakerDesign d = runDesignPipeline(m, floorVenue(), columnAt(2.5, -5.0, 0.0), sfio);
    EXPECT_TRUE(d.twoway);
    EXPECT_EQ(d.fstw, 96000.0);
    EXPECT_EQ(d.sos_xover_wf.rows(), 2);  // array type 2: the squared second-order pair
    EXPECT_EQ(d.sos_xover_tw.row(0), (Eigen::RowVectorXd(6) << 0.91159, -1.8232, 0.91159, 1, -1.8153, 0.83101).finished());

    // The tweeter as the pipeline designs it, then shifted by six taps.
    SectionResponse tw = readChannelSet(sfio.tw);
    const CMatrix highPass = H_sos(d.sos_xover_tw, tw.freq, 96000.0, 0);
    tw.H.array().rowwise() *= highPass.col(0).transpose().array();
    const NormalisedResponse T = normaliseSection(tw);
    const ChannelDesign designed = designChannelFilters(T, false, true, true);
    ASSERT_GT(designed.delaypick.size(), 0);
    EXPECT_EQ(d.tw.delaypick, (designed.delaypick.array() + 6).matrix());
    EXPECT_EQ(d.tw.weights, designed.weights);
    EXPECT_DOUBLE_EQ(d.tw.outputgain, T.peak / d.wfeqValue);
    clearSFIO(sfio);
}

// The record holds the fits of crossed-over copies of both sections: the
// woofer with ceil(10 p9) iterations, the tweeter with its own count, flattened.
TEST_F(PipelineOnModels, TwoWayRecordHoldsTheFitsOfCrossedOverSections) {
    const ModelData& m = model("Vexal16");
    SFIO sfio{};
    runDesignPipeline(m, floorVenue(), columnAt(2.5, 0.0, 0.2), sfio);
    const double fs = librarySettings().sampleRate;
    WfData wf(*m.wf);
    wf.applyCrossover(m.fx, fs, m.bwx, m.iir_xover_order);
    TwData tw(*m.tw);
    tw.applyCrossover(m.fx, fs, m.bwx, m.iir_xover_order);
    const SectionResponse woofer = optimiseSection(wf, 2.5, 0.0, floorVenue(), m.f_timbre, m.dB_timbre, false, 2);
    SectionResponse tweeter = optimiseSection(tw, 2.5, 0.0, floorVenue(), m.f_timbre, m.dB_timbre, false, 0);
    flattenAbove(tweeter, m.f_flatten);
    EXPECT_EQ(readChannelSet(sfio.wf).freq, wf.f);
    EXPECT_EQ(readChannelSet(sfio.wf).H, woofer.H);
    EXPECT_EQ(readChannelSet(sfio.tw).freq, tw.f);
    EXPECT_EQ(readChannelSet(sfio.tw).H, tweeter.H);
    clearSFIO(sfio);
}

// A failure before the responses are stored leaves the record as it was.
TEST_F(PipelineOnModels, OutOfSightLeavesTheRecordAlone) {
    const ModelData& m = model("Vexal16");
    SFIO sfio{};
    runDesignPipeline(m, floorVenue(), columnAt(2.5, 0.0, 0.1), sfio);
    const SFIO before = sfio;
    const SectionResponse wfBefore = readChannelSet(sfio.wf);
    std::vector<VenueItem> items = floorVenue();
    items.push_back(items[0]);
    items[1].x1 = -0.5;
    EXPECT_THROW(runDesignPipeline(m, items, columnAt(2.5, 0.0, 0.1), sfio), OutOfSight);
    EXPECT_EQ(sfio.wf.re, before.wf.re);
    EXPECT_EQ(sfio.tw.freq, before.tw.freq);
    EXPECT_EQ(readChannelSet(sfio.wf).H, wfBefore.H);
    clearSFIO(sfio);
}

// Designing again from the stored record (as when a host hands back the record
// it read out) gives the same design, field by field.
class RedesignFromRecord : public PipelineOnModels, public ::testing::WithParamInterface<const char*> {};

TEST_P(RedesignFromRecord, GivesAnIdenticalDesign) {
    const ModelData& m = model(GetParam());
    SFIO library{};
    const SpeakerDesign optimised = runDesignPipeline(m, floorVenue(), columnAt(2.5, -5.0, 0.0), library);

    SFIO host{};  // the host's copy, handed back
    copySFIO(library, host);
    PipelineOptions redesign = columnAt(0.0, 0.0, 1.0);
    redesign.optimise = false;
    SFIO record{};
    copySFIO(host, record);
    const SpeakerDesign again = runDesignPipeline(m, {}, redesign, record);
    expectSameDesign(again, optimised);

    SpeakerDesign stored;  // and stored into the library's design
    storeDesign(again, stored);
    expectSameDesign(stored, optimised);
    for (SFIO* s : {&library, &host, &record}) clearSFIO(*s);
}
INSTANTIATE_TEST_SUITE_P(Models, RedesignFromRecord, ::testing::Values("Vexal8", "Vexal16"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });
