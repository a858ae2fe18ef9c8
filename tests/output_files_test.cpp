// The processor files: filter-set layout read back field by field, the gain
// word, the response file's size and values, and all-or-nothing failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "filters/output_files.h"
#include "filters/sf_response.h"
#include "test_support.h"

using namespace TalvekLib;
using talvek_test::TempDir;
namespace fs = std::filesystem;

namespace {

// Reads little-endian values back in file order, whatever the host's order.
class FileReader {
public:
    explicit FileReader(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    int32_t int32() {
        uint32_t u = 0;
        for (int b = 0; b < 4; ++b) u |= static_cast<uint32_t>(byte()) << (8 * b);
        return static_cast<int32_t>(u);
    }
    double float64() {
        uint64_t u = 0;
        for (int b = 0; b < 8; ++b) u |= static_cast<uint64_t>(byte()) << (8 * b);
        double v;
        std::memcpy(&v, &u, sizeof v);
        return v;
    }
    bool atEnd() const { return at_ == bytes_.size(); }
    std::size_t size() const { return bytes_.size(); }

private:
    unsigned char byte() {
        if (at_ >= bytes_.size()) throw std::runtime_error("read past the end of the file");
        return static_cast<unsigned char>(bytes_[at_++]);
    }
    std::vector<char> bytes_;
    std::size_t at_ = 0;
};

// Channels with distinguishable weights: weight(i, c) = 100 c + i + 1.
ChannelDesign channels(int count, std::vector<int> pick, int order, double gain) {
    ChannelDesign cd;
    cd.order = order;
    cd.outputgain = gain;
    cd.delaypick = Eigen::Map<IVector>(pick.data(), static_cast<int>(pick.size()));
    cd.weights.resize(cd.delaypick.size(), count);
    for (int c = 0; c < count; ++c)
        for (int i = 0; i < cd.delaypick.size(); ++i) cd.weights(i, c) = 100 * c + i + 1;
    cd.outputshifts.resize(count);
    for (int c = 0; c < count; ++c) cd.outputshifts[c] = c % 5;
    return cd;
}

SpeakerDesign design(int arraytype, int wfChannels, int twChannels) {
    SpeakerDesign d;
    d.arraytype = arraytype;
    d.wfeqValue = 1.0;
    d.wf = channels(wfChannels, {3, 5, 9}, 2, 0.75);
    d.twoway = twChannels > 0;
    if (d.twoway) d.tw = channels(twChannels, {0, 4}, 1, 1.0);
    return d;
}

void expectBlock(FileReader& in, const ChannelDesign& cd, int first, int last) {
    const int rows = cd.delaypick.size();
    EXPECT_EQ(in.int32(), cd.delaypick.maxCoeff() + 2);
    EXPECT_EQ(in.int32(), cd.order);
    EXPECT_EQ(in.int32(), rows);
    EXPECT_EQ(in.int32(), last - first + 1);
    for (int i = 0; i < rows; ++i) EXPECT_EQ(in.int32(), cd.delaypick[i] + 1);
    for (int c = first; c <= last; ++c)
        for (int i = 0; i < rows; ++i) EXPECT_EQ(in.int32(), 100 * c + i + 1) << "channel " << c;
    for (int c = first; c <= last; ++c) EXPECT_EQ(in.int32(), c % 5);
    EXPECT_EQ(in.int32(), static_cast<int32_t>(std::trunc(65536.0 * cd.outputgain + 0.5)));
}

TEST(FilterSetFiles, OneBlockForWooferOnlyBoxesTwoForMixedBoxes) {
    // Array type 3: box 1 = woofers 1-8; box 2 = woofers 9-16 and tweeters 1-8.
    TempDir dir("talvek-bef");
    const std::string base = (dir.path() / "col").string();
    const SpeakerDesign d = design(3, 16, 8);
    writeFilterSetFiles(base, d, librarySettings());

    FileReader box1(base + "_box1.bef");
    EXPECT_EQ(box1.int32(), 2);
    EXPECT_EQ(box1.int32(), 1);
    expectBlock(box1, d.wf, 0, 7);
    EXPECT_TRUE(box1.atEnd());

    FileReader box2(base + "_box2.bef");
    EXPECT_EQ(box2.int32(), 2);
    EXPECT_EQ(box2.int32(), 2);
    expectBlock(box2, d.wf, 8, 15);
    expectBlock(box2, d.tw, 0, 7);
    EXPECT_TRUE(box2.atEnd());
    EXPECT_FALSE(fs::exists(base + "_box3.bef"));
}

TEST(FilterSetFiles, BoxNumbersRunWithoutLeadingZeros) {
    TempDir dir("talvek-bef");
    const std::string base = (dir.path() / "v").string();
    writeFilterSetFiles(base, design(7, 48, 16), librarySettings());
    for (int k = 1; k <= 6; ++k) EXPECT_TRUE(fs::exists(base + "_box" + std::to_string(k) + ".bef")) << k;
    EXPECT_FALSE(fs::exists(base + "_box7.bef"));
}

class GainWordTest : public ::testing::TestWithParam<std::pair<double, int32_t>> {};

TEST_P(GainWordTest, IsTruncatedAfterAddingOneHalf) {
    TempDir dir("talvek-gain");
    const std::string base = (dir.path() / "g").string();
    SpeakerDesign d = design(1, 8, 0);
    d.wf.outputgain = GetParam().first;
    writeFilterSetFiles(base, d, librarySettings());
    FileReader in(base + "_box1.bef");
    const std::size_t gainOffset = in.size() - 4;
    for (std::size_t i = 0; i < gainOffset / 4; ++i) in.int32();
    EXPECT_EQ(in.int32(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Values, GainWordTest,
    ::testing::Values(std::make_pair(1.0, 65536), std::make_pair(0.5, 32768),
                      // 65536 g + 0.5 just below 3: written as 2.
                      std::make_pair(std::nextafter(2.5, 0.0) / 65536.0, 2),
                      std::make_pair(2.5 / 65536.0, 3),
                      // Truncation toward zero for negative gains.
                      std::make_pair(-1.0, -65535)));

TEST(ResponseFile, SizeAndValuesMatchTheResponsesOnTheGrid) {
    for (const int tw : {0, 8}) {
        TempDir dir("talvek-sfr");
        const std::string base = (dir.path() / "r").string();
        const SpeakerDesign d = design(tw ? 2 : 1, 8, tw);
        writeResponseFile(base, d, librarySettings());

        FileReader in(base + "_SFR.bin");
        const std::size_t R = 241;
        EXPECT_EQ(in.size(), 8 * 2 + 8 * R + 16 * R * 8 + (tw ? 8 + 16 * R * tw : 0));
        const Vector grid = responseFileGrid();
        EXPECT_EQ(in.float64(), 241.0);
        EXPECT_EQ(in.float64(), 8.0);
        for (std::size_t i = 0; i < R; ++i) EXPECT_EQ(in.float64(), grid[i]);

        auto expectResponses = [&](const ChannelDesign& cd) {
            const CMatrix H = channelResponses(cd, grid, 96000.0);
            for (int c = 0; c < H.cols(); ++c)
                for (int n = 0; n < H.rows(); ++n) {
                    EXPECT_EQ(in.float64(), H(n, c).real());
                    EXPECT_EQ(in.float64(), H(n, c).imag());
                }
        };
        expectResponses(d.wf);
        if (tw) {
            EXPECT_EQ(in.float64(), static_cast<double>(tw));
            expectResponses(d.tw);
        }
        EXPECT_TRUE(in.atEnd());
    }
}

TEST(ResponseFile, GridIsLogarithmicFrom20HzTo20kHz) {
    const Vector f = responseFileGrid();
    ASSERT_EQ(f.size(), 241);
    EXPECT_NEAR(f[0], 20.0, 1e-12);
    EXPECT_NEAR(f[240], 20000.0, 1e-9);
    // 80 points per decade.
    EXPECT_NEAR(f[80] / f[0], 10.0, 1e-12);
    EXPECT_NEAR(f[161] / f[81], 10.0, 1e-12);
}

TEST(OutputFiles, AFileThatCannotBeCreatedLeavesNoFileBehind) {
    TempDir dir("talvek-fail");
    const std::string base = (dir.path() / "x").string();
    // A folder where box 2's file should go: that one file cannot be created.
    fs::create_directory(base + "_box2.bef");
    try {
        writeFilterSetFiles(base, design(3, 16, 8), librarySettings());
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to create file " + base + "_box2.bef.");
    }
    EXPECT_FALSE(fs::exists(base + "_box1.bef"));
    EXPECT_FALSE(fs::exists(base + "_SFR.bin"));

    // The response file blocked: the filter-set files are not written either.
    fs::remove(base + "_box2.bef");
    fs::create_directory(base + "_SFR.bin");
    EXPECT_THROW(writeFilterSetFiles(base, design(3, 16, 8), librarySettings()), std::runtime_error);
    EXPECT_FALSE(fs::exists(base + "_box1.bef"));
    EXPECT_FALSE(fs::exists(base + "_box2.bef"));
    EXPECT_THROW(writeResponseFile(base, design(3, 16, 8), librarySettings()), std::runtime_error);
}

TEST(OutputFiles, RefuseDesignsTheFilesCannotDescribe) {
    TempDir dir("talvek-refuse");
    const std::string base = (dir.path() / "y").string();
    const auto refused = [&](const SpeakerDesign& d) {
        EXPECT_THROW(writeFilterSetFiles(base, d, librarySettings()), std::runtime_error);
        EXPECT_THROW(writeResponseFile(base, d, librarySettings()), std::runtime_error);
        EXPECT_TRUE(fs::is_empty(dir.path()));
    };
    SpeakerDesign noWooferTaps = design(1, 8, 0);
    noWooferTaps.wf = channels(8, {}, 0, 1.0);
    refused(noWooferTaps);

    SpeakerDesign noTweeterTaps = design(2, 8, 8);
    noTweeterTaps.tw = channels(8, {}, 0, 1.0);
    refused(noTweeterTaps);

    SpeakerDesign unknownType = design(1, 8, 0);
    unknownType.arraytype = 11;
    EXPECT_THROW(writeFilterSetFiles(base, unknownType, librarySettings()), std::runtime_error);
    unknownType.arraytype = 0;
    EXPECT_THROW(writeFilterSetFiles(base, unknownType, librarySettings()), std::runtime_error);

    // A box table asking for more channels than the design has.
    EXPECT_THROW(writeFilterSetFiles(base, design(3, 8, 8), librarySettings()), std::runtime_error);
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

}  // namespace
