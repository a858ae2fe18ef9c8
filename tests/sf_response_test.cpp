// Steering-filter taps rebuilt from the quantised record, and their responses.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "filters/sf_response.h"

using namespace TalvekLib;

namespace {

ChannelDesign oneChannel(int order, std::vector<int> pick, std::vector<int> w, int shift, double gain) {
    ChannelDesign cd;
    cd.order = order;
    cd.outputgain = gain;
    cd.delaypick = Eigen::Map<IVector>(pick.data(), static_cast<int>(pick.size()));
    cd.weights = Eigen::Map<IMatrix>(w.data(), static_cast<int>(w.size()), 1);
    cd.outputshifts = IVector::Constant(1, shift);
    return cd;
}

struct TapsCase {
    const char* name;
    ChannelDesign cd;
    std::vector<double> taps;
};

class ChannelTapsTest : public ::testing::TestWithParam<TapsCase> {};

TEST_P(ChannelTapsTest, RebuildsTheIntegratedScaledTaps) {
    const TapsCase& tc = GetParam();
    const Vector h = channelTaps(tc.cd, 0);
    ASSERT_EQ(h.size(), static_cast<int>(tc.taps.size()));
    for (int i = 0; i < h.size(); ++i) EXPECT_DOUBLE_EQ(h[i], tc.taps[i]) << "tap " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Orders, ChannelTapsTest,
    ::testing::Values(
        // Stored integers at their positions, times 2^-2 and the gain 0.5.
        TapsCase{"order0", oneChannel(0, {1, 3}, {8, -4}, 2, 0.5), {0, 1, 0, -0.5}},
        // One value at position 4: the running sum leaves it only in the last tap.
        TapsCase{"order1", oneChannel(1, {4}, {6}, 1, 2.0), {0, 0, 0, 0, 6}},
        // [1, 0, -1] -> [1, 1, 0] -> [1, 2, 2].
        TapsCase{"order2", oneChannel(2, {0, 2}, {1, -1}, 0, 1.0), {1, 2, 2}},
        // A negative order means no integrating stage.
        TapsCase{"negativeOrder", oneChannel(-1, {0, 2}, {1, -1}, 0, 1.0), {1, 0, -1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ChannelResponses, EqualTheDirectSumOfEveryChannel) {
    ChannelDesign cd;
    cd.order = 1;
    cd.outputgain = 0.8;
    cd.delaypick = (IVector(4) << 0, 3, 7, 12).finished();
    cd.weights.resize(4, 3);
    cd.weights << 5, -2, 9, 0, 7, -3, -6, 1, 4, 2, -8, 0;
    cd.outputshifts = (IVector(3) << 3, 0, 5).finished();
    const Vector f = (Vector(5) << 0.0, 20.0, 1000.0, 12345.6, 48000.0).finished();
    const double fs = 96000.0;

    const CMatrix H = channelResponses(cd, f, fs);
    ASSERT_EQ(H.rows(), 5);
    ASSERT_EQ(H.cols(), 3);
    for (int c = 0; c < 3; ++c) {
        // Taps by hand: the stored values, one running sum, then the scale.
        std::vector<double> h(13, 0.0);
        for (int i = 0; i < 4; ++i) h[cd.delaypick[i]] = cd.weights(i, c);
        for (int i = 1; i < 13; ++i) h[i] += h[i - 1];
        const double scale = cd.outputgain / std::ldexp(1.0, cd.outputshifts[c]);
        for (int n = 0; n < f.size(); ++n) {
            Complex sum(0.0, 0.0);
            for (int m = 0; m < 13; ++m) sum += h[m] * scale * std::polar(1.0, -2.0 * kPi * f[n] * m / fs);
            // Two evaluations of the same 13-term sum: agreement to rounding.
            EXPECT_LT(std::abs(H(n, c) - sum), 1e-12 * (1.0 + std::abs(sum))) << "c " << c << " f " << f[n];
        }
    }
}

TEST(ChannelResponses, NoStoredRowsGiveZeroTapsAndZeroResponse) {
    ChannelDesign cd;
    cd.outputgain = 1.0;
    cd.weights.resize(0, 2);
    cd.outputshifts = IVector::Zero(2);
    EXPECT_EQ(channelTaps(cd, 1).size(), 0);
    const CMatrix H = channelResponses(cd, Vector::LinSpaced(4, 100.0, 400.0), 96000.0);
    ASSERT_EQ(H.rows(), 4);
    ASSERT_EQ(H.cols(), 2);
    EXPECT_EQ(H.cwiseAbs().maxCoeff(), 0.0);
}

TEST(ChannelTaps, RefusesInconsistentRecordsAndMissingChannels) {
    const ChannelDesign good = oneChannel(0, {0, 2}, {1, 1}, 0, 1.0);
    EXPECT_THROW(channelTaps(good, 1), std::runtime_error);
    ChannelDesign fewShifts = good, fewRows = good, unsorted = good;
    fewShifts.outputshifts.resize(0);
    fewRows.delaypick = IVector::Constant(1, 0);
    unsorted.delaypick << 5, 2;  // position 5 lies beyond the length 3
    for (const ChannelDesign* bad : {&fewShifts, &fewRows, &unsorted})
        EXPECT_THROW(channelTaps(*bad, 0), std::runtime_error);
}

}  // namespace
