// The export frames as a host meets them: the error text, model numbers and
// names, the self-check and the venue table. The exports against designs on
// the generated models are driven through ctypes in python/tests and
// tests/python; hostile input is in hostile_input_test.cpp.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "api/model_names.h"
#include "api/venue_table.h"
#include "include/talvek.h"
#include "test_support.h"

using namespace talvek_test;

// Model k is Vexal<8k> except 8 to 10; the number is truncated, and the
// chosen name stays after a failed load.
TEST(ApiSetupSpeaker, NamesTruncationAndTheSelfCheck) {
    const std::pair<int, const char*> names[] = {{1, "Vexal8"}, {6, "Vexal48"}, {7, "Vexal64"}, {8, "Vexal80"},
                                                 {9, "Vexal56"}, {10, "Vexal32LS"}, {0, "Vexal0"}, {-2, "Vexal-16"}};
    for (const auto& [k, name] : names) EXPECT_EQ(TalvekLib::modelNameFor(k), name);
    TempDir dir("talvek-api");
    ScopedCwd cwd(dir.path());
    ASSERT_EQ(Talvek_MatLabInit(), 1);
    Talvek_Setup_Speaker(0);  // empties the model cache, which may hold a bundled model
    // The self-check names the first missing archive in order; present files may hold anything.
    const char* archives[] = {"Vexal8.bin", "Vexal16.bin", "Vexal24.bin", "Vexal32.bin", "Vexal40.bin",
                              "Vexal48.bin", "Vexal56.bin", "Vexal64.bin", "Vexal32LS.bin"};
    for (const char* archive : archives) {
        EXPECT_EQ(Talvek_Initial_Check(), -1);
        EXPECT_EQ(errorText(), "Could not open file " + std::string(archive) + ".");
        writeFile(archive, "");
    }
    EXPECT_EQ(Talvek_Initial_Check(), 1);
    EXPECT_EQ(errorText(), "");
    // Truncated, 7.9 is Vexal64 (broken document); rounded it would be Vexal80 (no archive).
    writeZip("Vexal64.bin", {{"Vexal64.json", "{"}});
    EXPECT_EQ(Talvek_Setup_Speaker(7.9), -1);
    EXPECT_EQ(errorText(), "Error parsing JSON.");
    SFIO record{};
    record.arraytype = 7;
    EXPECT_EQ(Talvek_Put_SFIO_and_design_SFs(&record), -1);  // the failed name stays chosen
    EXPECT_EQ(errorText(), "Error parsing JSON.");
    Talvek_Initial_Check();  // empties the model name
    EXPECT_EQ(Talvek_Put_SFIO_and_design_SFs(&record), -1);
    EXPECT_EQ(errorText(), "You must call Talvek_Setup_Speaker before loading up a Steering Filter set");
}

// Column c of row r at vi[r + n c]; a NaN flag counts as active, -0 as not.
TEST(ApiVenueTable, ReadsColumnMajorRowsAndRefusesNonFiniteValues) {
    const std::vector<double> vi = {1, 11, 2, 12, 3, 13, 4, 14, 90, 91, 80, 81, -0.0, std::nan("")};
    const auto items = TalvekLib::readVenueTable(2, vi.data());
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1].x1, 11);
    EXPECT_EQ(items[1].x2, 12);
    EXPECT_EQ(items[1].z1, 13);
    EXPECT_EQ(items[1].z2, 14);
    EXPECT_EQ(items[1].level1, 91);
    EXPECT_EQ(items[1].level2, 81);
    EXPECT_FALSE(items[0].active);
    EXPECT_TRUE(items[1].active);
    EXPECT_THROW(TalvekLib::readVenueTable(0, vi.data()), std::runtime_error);
    EXPECT_THROW(TalvekLib::readVenueTable(2, nullptr), std::runtime_error);
}
