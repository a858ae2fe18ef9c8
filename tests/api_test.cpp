// The export frames: error text protocol, frequency grid, model names, the
// self-check, call-order failures and the venue table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "api/model_names.h"
#include "api/venue_table.h"
#include "include/talvek.h"
#include "test_support.h"

using talvek_test::ScopedCwd;
using talvek_test::TempDir;

namespace {

std::string errorText() {
    const int n = Talvek_Get_Error(nullptr, 0);
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    Talvek_Get_Error(text.data(), n + 1);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

void touch(const std::filesystem::path& p) { std::ofstream(p).put('x'); }

}  // namespace

TEST(ApiErrorText, CopiesTruncatesAndReportsLength) {
    TempDir empty("talvek-api");
    ScopedCwd cwd(empty.path());
    ASSERT_EQ(Talvek_MatLabInit(), 1);
    EXPECT_EQ(Talvek_Setup_Speaker(1), -1);
    EXPECT_EQ(errorText(), "Unable to open zip file data.");

    // Cut at the buffer size without a terminator; the length is the whole text's.
    char small[8];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(Talvek_Get_Error(small, 5), 29);
    EXPECT_EQ(std::string(small, 5), "Unabl");
    EXPECT_EQ(small[5], '#');

    // A larger buffer is zero-filled after the text.
    char large[40];
    std::memset(large, '#', sizeof large);
    EXPECT_EQ(Talvek_Get_Error(large, 40), 29);
    for (int i = 29; i < 40; ++i) EXPECT_EQ(large[i], '\0');

    // A success leaves the last failure's text in place.
    int32_t count = 0;
    std::vector<double> f(215);
    EXPECT_EQ(Talvek_Get_Frequencies(215, &count, f.data()), 1);
    EXPECT_EQ(errorText(), "Unable to open zip file data.");
}

TEST(ApiFrequencies, GridAndCapacity) {
    ASSERT_EQ(Talvek_MatLabInit(), 1);
    std::vector<double> f(215, -1.0);
    int32_t count = 0;
    ASSERT_EQ(Talvek_Get_Frequencies(215, &count, f.data()), 1);
    EXPECT_EQ(count, 215);
    EXPECT_EQ(f[0], 50.0);
    EXPECT_NEAR(f[1], 51.463482, 1e-6);
    EXPECT_EQ(f[214], 24000.0);
    for (int i = 1; i < 215; ++i) EXPECT_NEAR(f[i] / f[i - 1], std::pow(480.0, 1.0 / 214), 1e-12);

    const std::string before = errorText();
    std::vector<double> small(214, -1.0);
    count = 0;
    EXPECT_EQ(Talvek_Get_Frequencies(214, &count, small.data()), -1);
    EXPECT_EQ(count, 215);
    EXPECT_EQ(small[0], -1.0);
    EXPECT_EQ(errorText(), before);

    EXPECT_EQ(Talvek_Get_Frequencies(215, nullptr, f.data()), -1);
    EXPECT_NE(errorText().find("count"), std::string::npos);
}

TEST(ApiModelNames, FollowTheNumberingRule) {
    EXPECT_EQ(TalvekLib::modelNameFor(1), "Vexal8");
    EXPECT_EQ(TalvekLib::modelNameFor(2), "Vexal16");
    EXPECT_EQ(TalvekLib::modelNameFor(3), "Vexal24");
    EXPECT_EQ(TalvekLib::modelNameFor(6), "Vexal48");
    EXPECT_EQ(TalvekLib::modelNameFor(7), "Vexal64");
    EXPECT_EQ(TalvekLib::modelNameFor(8), "Vexal80");
    EXPECT_EQ(TalvekLib::modelNameFor(9), "Vexal56");
    EXPECT_EQ(TalvekLib::modelNameFor(10), "Vexal32LS");
    EXPECT_EQ(TalvekLib::modelNameFor(0), "Vexal0");
    EXPECT_EQ(TalvekLib::modelNameFor(-2), "Vexal-16");
}

TEST(ApiSetupSpeaker, TruncatesAndKeepsTheNameAfterAFailure) {
    TempDir dir("talvek-api");
    ScopedCwd cwd(dir.path());
    ASSERT_EQ(Talvek_MatLabInit(), 1);
    // Only the truncated number's archive is looked for: Vexal64.bin exists but is
    // not a zip archive, Vexal56.bin (which 7.9 rounded would pick) does not.
    touch("Vexal64.bin");
    EXPECT_EQ(Talvek_Setup_Speaker(0), -1);
    EXPECT_EQ(errorText(), "Unable to open zip file data.");
    // The failed name stays chosen: a design from a record now fails on the load.
    SFIO record{};
    record.arraytype = 1;
    EXPECT_EQ(Talvek_Put_SFIO_and_design_SFs(&record), -1);
    EXPECT_EQ(Talvek_Setup_Speaker(std::nan("")), -1);
    EXPECT_NE(errorText().find("out of range"), std::string::npos);
}

TEST(ApiSetupSpeaker, LoadsEveryBundledModel) {
    if (talvek_test::modelDir().empty()) GTEST_SKIP() << "TALVEK_MODEL_DIR not set";
    ScopedCwd cwd(talvek_test::modelDir());
    ASSERT_EQ(Talvek_MatLabInit(), 1);
    ASSERT_EQ(Talvek_Initial_Check(), 1);
    EXPECT_EQ(errorText(), "");
    for (int k = 1; k <= 10; ++k) EXPECT_EQ(Talvek_Setup_Speaker(k + 0.9), 1) << "model " << k << ": " << errorText();
}

TEST(ApiInitialCheck, ReportsTheFirstMissingArchiveInOrder) {
    const std::vector<std::string> names = {"Vexal8.bin",  "Vexal16.bin", "Vexal24.bin",
                                            "Vexal32.bin", "Vexal40.bin", "Vexal48.bin",
                                            "Vexal56.bin", "Vexal64.bin", "Vexal32LS.bin"};
    TempDir dir("talvek-check");
    ScopedCwd cwd(dir.path());
    EXPECT_EQ(Talvek_Initial_Check(), -1);
    EXPECT_EQ(errorText(), "Could not open file Vexal8.bin.");
    // Present files may hold anything, even nothing; each missing one is named in turn.
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::ofstream(names[i]).flush();
        const int result = Talvek_Initial_Check();
        if (i + 1 < names.size()) {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(errorText(), "Could not open file " + names[i + 1] + ".");
        } else {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(errorText(), "");  // the check empties the error text first
        }
    }
}

TEST(ApiCallOrder, DesignReadersFailCleanlyWithoutADesign) {
    TempDir dir("talvek-api");
    ScopedCwd cwd(dir.path());
    ASSERT_EQ(Talvek_MatLabInit(), 1);
    Talvek_Initial_Check();  // empties the model name
    SFIO record{};
    record.arraytype = 3;
    EXPECT_EQ(Talvek_Put_SFIO_and_design_SFs(&record), -1);
    EXPECT_EQ(errorText(), "You must call Talvek_Setup_Speaker before loading up a Steering Filter set");
    const double vi[7] = {3, 20, 1.2, 1.2, 94, 88, 1};
    EXPECT_EQ(Talvek_Optimizer(2.5, 0, 1, 0, vi, 0, 0, 0, 1, 0), -1);
    EXPECT_NE(errorText().find("Talvek_Setup_Speaker"), std::string::npos);
    EXPECT_EQ(Talvek_Put_SFIO_and_design_SFs(nullptr), -1);
    EXPECT_EQ(Talvek_Get_SFIO(nullptr), -1);
    EXPECT_EQ(Talvek_Get_SFIO_pointer(nullptr), -1);
    EXPECT_EQ(Talvek_Write_Files(nullptr, "x"), -1);
    EXPECT_EQ(Talvek_SF_Response(nullptr), -1);
}

TEST(ApiVenueTable, ReadsColumnMajorRows) {
    // Two items: column c of row r at vi[r + 2c].
    const double nan = std::nan("");
    const std::vector<double> vi = {1, 11, 2, 12, 3, 13, 4, 14, 90, 91, 80, 81, 0.0, nan};
    const auto items = TalvekLib::readVenueTable(2, vi.data());
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1].x1, vi[1]);
    EXPECT_EQ(items[1].x2, 12);
    EXPECT_EQ(items[1].z1, 13);
    EXPECT_EQ(items[1].z2, 14);
    EXPECT_EQ(items[1].level1, 91);
    EXPECT_EQ(items[1].level2, 81);
    EXPECT_FALSE(items[0].active);
    EXPECT_TRUE(items[1].active);  // flag vi[13] is NaN: active
    const std::vector<double> negativeZero = {1, 2, 3, 4, 90, 80, -0.0};
    EXPECT_FALSE(TalvekLib::readVenueTable(1, negativeZero.data())[0].active);
}

TEST(ApiVenueTable, RefusesEmptyAndNonFiniteTables) {
    EXPECT_THROW(TalvekLib::readVenueTable(0, nullptr), std::runtime_error);
    EXPECT_THROW(TalvekLib::readVenueTable(2, nullptr), std::runtime_error);
    for (int column = 0; column < 6; ++column) {
        std::vector<double> vi = {3, 20, 1.2, 1.2, 94, 88, 1};
        for (double bad : {std::nan(""), HUGE_VAL, 1e300}) {
            vi[column] = bad;
            EXPECT_THROW(TalvekLib::readVenueTable(1, vi.data()), std::runtime_error) << column;
        }
    }
}
