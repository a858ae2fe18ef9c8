// Helpers for tests that drive the library through its exports, as a host
// does: the error text, venue tables and a set-up session on the generated
// models.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "include/talvek.h"
#include "test_support.h"

namespace talvek_test {

// The library's current error text.
inline std::string errorText() {
    const int n = Talvek_Get_Error(nullptr, 0);
    std::string text(static_cast<std::size_t>(n), '\0');
    Talvek_Get_Error(text.data(), n);
    return text;
}

// Frees what Talvek_Get_SFIO copied into a host record. The tests link the
// library statically, so its malloc is theirs; a host of the shared library
// instead keeps the record and reuses it for the next copy.
inline void releaseHostRecord(SFIO& r) {
    for (SFIOChannelSet* set : {&r.wf, &r.tw}) {
        for (int m = 0; m < set->nChan; ++m) {
            if (set->re) std::free(set->re[m]);
            if (set->im) std::free(set->im[m]);
        }
        std::free(set->re);
        std::free(set->im);
        std::free(set->freq);
    }
    r = SFIO{};
}

// One venue row: x1, x2, z1, z2 (m), level1, level2 (dB SPL), active flag.
struct VenueRow {
    double x1, x2, z1, z2, level1, level2, active;
};

// The host's column-major viCount x 7 table.
inline std::vector<double> venueTable(const std::vector<VenueRow>& rows) {
    const std::size_t n = rows.size();
    std::vector<double> vi(7 * n);
    for (std::size_t r = 0; r < n; ++r) {
        const double v[7] = {rows[r].x1, rows[r].x2, rows[r].z1, rows[r].z2,
                             rows[r].level1, rows[r].level2, rows[r].active};
        for (std::size_t c = 0; c < 7; ++c) vi[r + c * n] = v[c];
    }
    return vi;
}

// A floor 2 m to 30 m in front of a column at 3 m, and a balcony.
inline std::vector<double> typicalVenue() {
    return venueTable({{2, 30, 1.2, 1.2, 96, 90, 1}, {12, 25, 5.5, 8.0, 92, 89, 1}});
}

// Iteration control for tests: ceil(10 x 0.1) = 1 woofer iteration.
constexpr double kQuickIterations = 0.1;

// Working directory = the generated models folder; the library initialised
// and `modelNumber` set up. Skips the test when the models are not at hand.
class HostSession : public ::testing::Test {
protected:
    void SetUp() override {
        if (modelDir().empty()) GTEST_SKIP() << "TALVEK_MODEL_DIR not set";
        cwd_ = std::make_unique<ScopedCwd>(modelDir());
        ASSERT_EQ(Talvek_Initial_Check(), 1) << errorText();
        ASSERT_EQ(Talvek_MatLabInit(), 1);
    }

    void setUp(double modelNumber) { ASSERT_EQ(Talvek_Setup_Speaker(modelNumber), 1) << errorText(); }

    void optimise(const std::vector<double>& vi, double p1 = 3.0, double p2 = 0.0) {
        const int rows = static_cast<int>(vi.size() / 7);
        ASSERT_EQ(Talvek_Optimizer(p1, p2, rows, 0, vi.data(), 0, 0, 0, kQuickIterations, 0), 1) << errorText();
    }

private:
    std::unique_ptr<ScopedCwd> cwd_;
};

}  // namespace talvek_test
