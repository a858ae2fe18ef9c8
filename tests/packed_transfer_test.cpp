// A packed section keeps its measured prototypes and its driver positions read
// them through the packing list. Expanding them into one column per position,
// the layout of an unpacked model, must change no arithmetic of the sound
// field (bit for bit) and only the rounding of the fit.
#include <gtest/gtest.h>

#include <string>

#include "acoustics/greens.h"
#include "model/model_data.h"
#include "model/zip_reader.h"
#include "optimiser/inner_optimisation.h"
#include "tests/flat_channels.h"
#include "tests/test_support.h"
#include "tests/typical_venue.h"

namespace {

using namespace TalvekLib;

// Vexal56: two prototypes, every other position mounted upside down.
ModelData loadVexal56() {
    const std::string text = readZipEntry(talvek_test::modelDir() + "/Vexal56.bin", "Vexal56.json");
    return ModelData(text.c_str());
}

WfData expanded(const WfData& packed) {
    WfData e(packed);
    e.chp.resize(0);
    for (std::size_t k = 0; k < e.H.size(); ++k) {
        CMatrix g(packed.phi.size(), packed.driverpos.size());
        for (int d = 0; d < g.cols(); ++d)
            for (int a = 0; a < g.rows(); ++a) g(a, d) = packed.transfer(static_cast<int>(k), a, d);
        e.H[k] = g;
    }
    return e;
}

class PackedTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        if (talvek_test::modelDir().empty()) GTEST_SKIP() << "TALVEK_MODEL_DIR not set";
        model = loadVexal56();
        ASSERT_LT(model.wf->H.front().cols(), model.wf->driverpos.size());
        ASSERT_TRUE((model.wf->chp.array() < 0).any());
        full = expanded(*model.wf);
    }
    ModelData model{nullptr};
    WfData full;
};

TEST_F(PackedTransfer, FitIsTheSameAsWithOneColumnPerPosition) {
    const IVector some = (IVector(4) << 0, 60, 130, 200).finished();
    const std::vector<VenueItem> venue = {talvek_test::typicalAudienceLine()};
    const SectionResponse a = optimiseSection(*model.wf, some, 2.5, -3.0, venue, model.f_timbre, model.dB_timbre, false, 3);
    const SectionResponse b = optimiseSection(full, some, 2.5, -3.0, venue, model.f_timbre, model.dB_timbre, false, 3);
    // The packed layout shares driver kinds, so its Gram matrix is formed
    // from its structure; the expanded one has a kind per position and forms
    // it directly. The two agree to rounding, amplified by the solve.
    for (int c = 0; c < some.size(); ++c)
        EXPECT_LT((a.H.col(c) - b.H.col(c)).norm(), 1e-8 * b.H.col(c).norm()) << some[c];
}

TEST_F(PackedTransfer, SoundFieldIsTheSameAsWithOneColumnPerPosition) {
    SpeakerDesign design;
    design.fswf = 96000.0;
    design.sos_xover_wf = (Matrix(1, 6) << 1, 0, 0, 1, 0, 0).finished();
    design.wf = talvek_test::flatChannels(model.wf->driverpos.size());
    const Vector x = (Vector(4) << 0.3, 2.0, 8.0, 20.0).finished();
    const Vector y = (Vector(4) << 2.0, -1.0, 1.2, 9.0).finished();
    const IVector freqs = (IVector(3) << 10, 100, 210).finished();
    const SectionField a = computeSectionField(*model.wf, 2.5, -3.0, design, x, y, freqs, referenceCurve(),
                                               librarySettings());
    const SectionField b = computeSectionField(full, 2.5, -3.0, design, x, y, freqs, referenceCurve(),
                                               librarySettings());
    EXPECT_EQ(a.field, b.field);
    EXPECT_EQ(a.headroom, b.headroom);
}

}  // namespace
