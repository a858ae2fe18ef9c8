// Hostile host input through the exports: calls out of order, null pointers,
// non-finite and absurd numbers, counts that the design or the model cannot
// serve. Each export answers -1 with a message (or succeeds where the call is
// well defined), never crashes, and leaves the library usable.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "host_session.h"
#include "include/talvek.h"
#include "test_support.h"

using talvek_test::errorText;
using talvek_test::HostSession;
using talvek_test::kQuickIterations;
using talvek_test::releaseHostRecord;
using talvek_test::TempDir;
using talvek_test::venueTable;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Expects -1 and a message that mentions `word`.
void expectRefused(int32_t status, const std::string& word, const std::string& what) {
    EXPECT_EQ(status, -1) << what;
    if (status == -1) {
        EXPECT_NE(errorText().find(word), std::string::npos) << what << ": \"" << errorText() << "\"";
    }
}

// A host record built from vectors, with room for `extra` more frequencies and
// channels than the source, so a test can claim larger counts without the
// library reading past an array.
class OwnedRecord {
public:
    OwnedRecord(const SFIO& from, int extra) : wf_(from.wf, extra), tw_(from.tw, extra) {
        record.wf = wf_.view(from.wf);
        record.tw = tw_.view(from.tw);
        record.arraytype = from.arraytype;
    }
    SFIO record{};

private:
    struct Set {
        Set(const SFIOChannelSet& s, int extra) {
            if (s.nFreq <= 0 || s.nChan <= 0) return;  // an empty set (one-way tweeter) stays empty
            const int nf = s.nFreq + extra;
            const int nc = s.nChan + extra;
            for (int n = 0; n < nf; ++n) freq.push_back(n < s.nFreq ? s.freq[n] : s.freq[s.nFreq - 1] + n);
            for (int m = 0; m < nc; ++m) {
                const int src = std::min(m, s.nChan - 1);
                re.emplace_back(nf, 0.0);
                im.emplace_back(nf, 0.0);
                for (int n = 0; n < s.nFreq; ++n) {
                    re[m][n] = s.re[src][n];
                    im[m][n] = s.im[src][n];
                }
                rePtr.push_back(re[m].data());
                imPtr.push_back(im[m].data());
            }
        }
        SFIOChannelSet view(const SFIOChannelSet& s) {
            SFIOChannelSet v = s;
            v.freq = freq.empty() ? nullptr : freq.data();
            v.re = rePtr.empty() ? nullptr : rePtr.data();
            v.im = imPtr.empty() ? nullptr : imPtr.data();
            return v;
        }
        std::vector<double> freq;
        std::vector<std::vector<double>> re, im;
        std::vector<double*> rePtr, imPtr;
    };
    Set wf_, tw_;
};

// A session with a design of the one-way Vexal8 in place.
class HostileHost : public HostSession {
protected:
    void SetUp() override {
        HostSession::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        setUp(1);
        optimise(talvek_test::typicalVenue());
        ASSERT_EQ(Talvek_Get_Nchannels(&wfChannels, &twChannels), 1);
    }
    // The design is still there and unchanged in shape.
    void expectDesignIntact() {
        int32_t a = -1, b = -1;
        EXPECT_EQ(Talvek_Get_Nchannels(&a, &b), 1);
        EXPECT_EQ(a, wfChannels);
        EXPECT_EQ(b, twChannels);
    }
    int32_t wfChannels = 0, twChannels = 0;
};

}  // namespace

// Only meaningful in a fresh process (CTest runs each test in its own).
TEST(HostileHostOrder, EveryExportBeforeSetUpFailsCleanly) {
    int32_t count = 0;
    std::vector<double> f(215);
    if (Talvek_Get_Frequencies(215, &count, f.data()) == 1) GTEST_SKIP() << "library already set up in this process";
    EXPECT_NE(errorText().find("Talvek_MatLabInit"), std::string::npos);

    const std::vector<double> vi = talvek_test::typicalVenue();
    expectRefused(Talvek_Optimizer(3, 0, 2, 0, vi.data(), 0, 0, 0, 1, 0), "Talvek_", "Optimizer");
    SFIO record{};
    record.arraytype = 1;
    expectRefused(Talvek_Put_SFIO_and_design_SFs(&record), "Talvek_", "Put_SFIO");
    EXPECT_EQ(Talvek_Get_SFIO(&record), -1);
    SFIO* pointer = &record;
    EXPECT_EQ(Talvek_Get_SFIO_pointer(&pointer), -1);
    EXPECT_EQ(pointer, nullptr);
    int32_t a = 0, b = 0;
    expectRefused(Talvek_Get_Nchannels(&a, &b), "Talvek_Optimizer", "Get_Nchannels");
    double x = 5, y = 1, out = 0, scalar = 0;
    expectRefused(Talvek_Greens(3, 0, &x, &y, 1, 1, 1, &out, &scalar), "Talvek_", "Greens");
    double re = 0, im = 0;
    double* reRow = &re;
    double* imRow = &im;
    const double freq = 1000;
    const SFResponseRequest request{1, 1, 0, &freq, &reRow, &imRow, nullptr, nullptr};
    expectRefused(Talvek_SF_Response(&request), "Talvek_", "SF_Response");
    TempDir dir("talvek-hostile");
    expectRefused(Talvek_Write_Files(dir.path().c_str(), "/x"), "Talvek_", "Write_Files");
    EXPECT_EQ(Talvek_Setup_Speaker(1), -1);  // no archive in this folder
    Talvek_MatLabClose();
}

TEST_F(HostileHost, NullOutputPointersAreRefused) {
    expectRefused(Talvek_Get_SFIO(nullptr), "null", "Get_SFIO");
    expectRefused(Talvek_Get_SFIO_pointer(nullptr), "null", "Get_SFIO_pointer");
    int32_t n = 0;
    expectRefused(Talvek_Get_Nchannels(nullptr, &n), "null", "Get_Nchannels A");
    expectRefused(Talvek_Get_Nchannels(&n, nullptr), "null", "Get_Nchannels B");
    expectRefused(Talvek_Get_Frequencies(215, nullptr, nullptr), "null", "Get_Frequencies count");
    expectRefused(Talvek_Get_Frequencies(215, &n, nullptr), "null", "Get_Frequencies array");
    EXPECT_EQ(n, 215);
    expectRefused(Talvek_Put_SFIO_and_design_SFs(nullptr), "null", "Put_SFIO");
    expectRefused(Talvek_SF_Response(nullptr), "null", "SF_Response");
    expectRefused(Talvek_Write_Files(nullptr, "x"), "null", "Write_Files dir");
    expectRefused(Talvek_Write_Files("", nullptr), "null", "Write_Files name");
    double x = 5, y = 1, out = 0, scalar = 0;
    expectRefused(Talvek_Greens(3, 0, nullptr, &y, 1, 1, 1, &out, &scalar), "null", "Greens x");
    expectRefused(Talvek_Greens(3, 0, &x, nullptr, 1, 1, 1, &out, &scalar), "null", "Greens y");
    expectRefused(Talvek_Greens(3, 0, &x, &y, 1, 1, 1, nullptr, &scalar), "null", "Greens out");
    expectRefused(Talvek_Greens(3, 0, &x, &y, 1, 1, 1, &out, nullptr), "null", "Greens outScalar");
    // The error text itself: a null or negative-size buffer only reports the length.
    const int length = Talvek_Get_Error(nullptr, 100);
    EXPECT_GT(length, 0);
    char guard = '#';
    EXPECT_EQ(Talvek_Get_Error(&guard, -5), length);
    EXPECT_EQ(guard, '#');
    expectDesignIntact();
}

class HostileVenue : public HostileHost, public ::testing::WithParamInterface<int> {};

// Column c of the only row gets NaN, +-infinity or an absurd finite value.
TEST_P(HostileVenue, NonFiniteOrHugeValueIsRefused) {
    const int column = GetParam();
    for (double bad : {kNaN, kInf, -kInf, 1e300, -1e300}) {
        std::vector<double> vi = venueTable({{2, 30, 1.2, 1.2, 96, 90, 1}});
        vi[column] = bad;
        expectRefused(Talvek_Optimizer(3, 0, 1, 0, vi.data(), 0, 0, 0, kQuickIterations, 0), "venue item 1",
                      "column " + std::to_string(column) + " = " + std::to_string(bad));
    }
    expectDesignIntact();
}

INSTANTIATE_TEST_SUITE_P(CoordinatesAndLevels, HostileVenue, ::testing::Range(0, 6));

TEST_F(HostileHost, OptimizerControlValuesMustBeFinite) {
    const std::vector<double> vi = talvek_test::typicalVenue();
    for (double bad : {kNaN, kInf, -kInf}) {
        EXPECT_EQ(Talvek_Optimizer(bad, 0, 2, 0, vi.data(), 0, 0, 0, kQuickIterations, 0), -1) << "height";
        EXPECT_EQ(Talvek_Optimizer(3, bad, 2, 0, vi.data(), 0, 0, 0, kQuickIterations, 0), -1) << "tilt";
        EXPECT_EQ(Talvek_Optimizer(3, 0, 2, 0, vi.data(), 0, 0, 0, bad, 0), -1) << "p9";
    }
    EXPECT_EQ(Talvek_Optimizer(3, 0, 2, 0, vi.data(), 0, 0, 0, 1e300, 0), -1) << "p9 absurd";
    // The unused arguments may hold anything.
    EXPECT_EQ(Talvek_Optimizer(3, 0, 2, 12345, vi.data(), kNaN, kInf, 0, kQuickIterations, -kInf), 1)
        << errorText();
    expectDesignIntact();
}

TEST_F(HostileHost, EmptyTablesAndTablesWithoutTargetsAreRefused) {
    const std::vector<double> vi = talvek_test::typicalVenue();
    EXPECT_EQ(Talvek_Optimizer(3, 0, 0, 0, nullptr, 0, 0, 0, kQuickIterations, 0), -1);
    EXPECT_EQ(Talvek_Optimizer(3, 0, -1, 0, nullptr, 0, 0, 0, kQuickIterations, 0), -1);
    EXPECT_EQ(Talvek_Optimizer(3, 0, 0, 0, vi.data(), 0, 0, 0, kQuickIterations, 0), -1);
    EXPECT_EQ(Talvek_Optimizer(3, 0, std::numeric_limits<int32_t>::min(), 0, vi.data(), 0, 0, 0, 1, 0), -1);
    EXPECT_EQ(Talvek_Optimizer(3, 0, 2, 0, nullptr, 0, 0, 0, kQuickIterations, 0), -1);
    // Every item inactive and left out of the fit: nothing to aim at.
    const std::vector<double> inactive = venueTable({{2, 30, 1.2, 1.2, 96, 90, 0}});
    EXPECT_EQ(Talvek_Optimizer(3, 0, 1, 0, inactive.data(), 0, 0, 1, kQuickIterations, 0), -1);
    EXPECT_FALSE(errorText().empty());
    // An item behind the column.
    const std::vector<double> behind = venueTable({{-2, -30, 1.2, 1.2, 96, 90, 1}});
    EXPECT_EQ(Talvek_Optimizer(3, 0, 1, 0, behind.data(), 0, 0, 0, kQuickIterations, 0), -1);
    EXPECT_EQ(errorText(), "At least one VI is out of sight.");
    expectDesignIntact();
}

// Degenerate but finite geometry: an item of zero length, an item through the
// column's own position, an item at the column's height, a vertical item. The
// library may answer either way; it must answer, with finite responses when it
// succeeds.
TEST_F(HostileHost, DegenerateVenueGeometryIsAnswered) {
    const std::vector<std::vector<double>> tables = {
        venueTable({{10, 10, 1.2, 1.2, 96, 96, 1}}),
        venueTable({{0, 20, 3.0, 1.2, 96, 90, 1}}),
        venueTable({{1e-9, 20, 3.0, 3.0, 96, 90, 1}}),
        venueTable({{10, 10, -5, 20, 96, 90, 1}}),
        venueTable({{2, 30, 1.2, 1.2, -300, 900, 1}}),
    };
    for (std::size_t i = 0; i < tables.size(); ++i) {
        const int status = Talvek_Optimizer(3, 0, 1, 0, tables[i].data(), 0, 0, 1, kQuickIterations, 0);
        if (status == -1) {
            EXPECT_FALSE(errorText().empty()) << "table " << i;
            continue;
        }
        ASSERT_EQ(status, 1) << "table " << i;
        SFIO* own = nullptr;
        ASSERT_EQ(Talvek_Get_SFIO_pointer(&own), 1);
        for (int m = 0; m < own->wf.nChan; ++m) {
            for (int n = 0; n < own->wf.nFreq; ++n) {
                ASSERT_TRUE(std::isfinite(own->wf.re[m][n]) && std::isfinite(own->wf.im[m][n])) << "table " << i;
            }
        }
    }
    expectDesignIntact();
}

TEST_F(HostileHost, GreensRefusesPointCountsAndIndicesOutOfRange) {
    const std::vector<double> x = {5, 10, 20}, y = {1.2, 1.2, 1.2};
    std::vector<double> out(215 * 3, -1.0);
    double scalar = 0;
    const auto greens = [&](int points, double a, double b) {
        return Talvek_Greens(3, 0, x.data(), y.data(), points, a, b, out.data(), &scalar);
    };
    ASSERT_EQ(greens(3, 1, 215), 1) << errorText();  // the whole range is fine
    expectRefused(greens(0, 1, 1), "pointCount", "no points");
    expectRefused(greens(-3, 1, 1), "pointCount", "negative points");
    const double badIndex[][2] = {{0, 1},   {1, 216},      {216, 216}, {5, 4},    {-1, 3},
                                  {kNaN, 3}, {1, kNaN},    {1, kInf},  {-kInf, 1}, {1e300, 1e300},
                                  {1, 3e9}, {-3e9, 1}};
    for (const auto& ab : badIndex) {
        EXPECT_EQ(greens(1, ab[0], ab[1]), -1) << ab[0] << ".." << ab[1];
        EXPECT_FALSE(errorText().empty());
    }
    for (double bad : {kNaN, kInf}) {
        EXPECT_EQ(Talvek_Greens(bad, 0, x.data(), y.data(), 3, 1, 2, out.data(), &scalar), -1);
        EXPECT_EQ(Talvek_Greens(3, bad, x.data(), y.data(), 3, 1, 2, out.data(), &scalar), -1);
        const std::vector<double> badX = {5, bad, 20};
        EXPECT_EQ(Talvek_Greens(3, 0, badX.data(), y.data(), 3, 1, 2, out.data(), &scalar), -1);
        EXPECT_EQ(Talvek_Greens(3, 0, x.data(), badX.data(), 3, 1, 2, out.data(), &scalar), -1);
    }
    // A point on a driver (r = 0) is answered; absurdly far points are refused.
    // Vexal8's fifth woofer sits 0.05 m above its section centre, 0.4 m above the reference point.
    const std::vector<double> onDriver = {0}, driverHeight = {3.0 + (0.05 + 0.4)};
    EXPECT_EQ(Talvek_Greens(3, 0, onDriver.data(), driverHeight.data(), 1, 1, 215, out.data(), &scalar), 1)
        << errorText();
    const std::vector<double> far = {1e300, -1e300, 5};
    EXPECT_EQ(Talvek_Greens(3, 0, far.data(), y.data(), 3, 1, 215, out.data(), &scalar), -1);
    EXPECT_NE(errorText().find("within 100 km"), std::string::npos);
    expectDesignIntact();
}

TEST_F(HostileHost, ResponseRequestLargerThanTheDesignIsRefused) {
    const int nFreq = 4;
    const double freq[nFreq] = {100, 1000, 10000, 47000};
    std::vector<std::vector<double>> re(wfChannels + 1, std::vector<double>(nFreq)), im = re;
    std::vector<double*> reRows, imRows;
    for (int c = 0; c <= wfChannels; ++c) {
        reRows.push_back(re[c].data());
        imRows.push_back(im[c].data());
    }
    SFResponseRequest r{nFreq, wfChannels, 0, freq, reRows.data(), imRows.data(), nullptr, nullptr};
    ASSERT_EQ(Talvek_SF_Response(&r), 1) << errorText();

    SFResponseRequest more = r;
    more.nChanWf = wfChannels + 1;
    expectRefused(Talvek_SF_Response(&more), "channels", "woofer channels");
    more = r;
    more.nChanTw = 1;  // a one-way design has no tweeter channels
    more.reTw = reRows.data();
    more.imTw = imRows.data();
    expectRefused(Talvek_SF_Response(&more), "channels", "tweeter channels");
    more = r;
    more.nFreq = -1;
    expectRefused(Talvek_SF_Response(&more), "nFreq", "negative nFreq");
    more = r;
    more.freq = nullptr;
    expectRefused(Talvek_SF_Response(&more), "null", "no frequencies");
    more = r;
    more.imWf = nullptr;
    expectRefused(Talvek_SF_Response(&more), "null", "no output rows");
    reRows[1] = nullptr;
    expectRefused(Talvek_SF_Response(&r), "null", "a missing output row");
    reRows[1] = re[1].data();

    // Nothing asked: success without writing. Odd frequencies are simply evaluated.
    more = r;
    more.nFreq = 0;
    more.freq = nullptr;
    EXPECT_EQ(Talvek_SF_Response(&more), 1);
    const double oddFreq[nFreq] = {kNaN, -1000, 0, 1e300};
    more = r;
    more.freq = oddFreq;
    EXPECT_EQ(Talvek_SF_Response(&more), 1) << errorText();
    expectDesignIntact();
}

TEST_F(HostileHost, RecordsThatDoNotFitTheModelAreRefused) {
    SFIO good{};
    ASSERT_EQ(Talvek_Get_SFIO(&good), 1);
    ASSERT_GT(good.wf.nChan, 1);
    const int extra = 216;  // room for any count a case below claims

    struct Case {
        const char* name;
        const char* word;  // in the message
        std::function<void(SFIO&)> spoil;
    };
    const std::vector<Case> cases = {
        {"one channel more", "channels", [](SFIO& r) { r.wf.nChan += 1; }},
        {"one channel fewer", "channels", [](SFIO& r) { r.wf.nChan -= 1; }},
        {"no frequencies", "frequencies", [](SFIO& r) { r.wf.nFreq = 0; }},
        {"more frequencies than the design grid", "frequencies", [](SFIO& r) { r.wf.nFreq = 216; }},
        {"negative frequency count", "negative", [](SFIO& r) { r.wf.nFreq = -1; }},
        {"negative channel count", "negative", [](SFIO& r) { r.wf.nChan = -5; }},
        {"no frequency array", "frequency array", [](SFIO& r) { r.wf.freq = nullptr; }},
        {"no channel arrays", "channel arrays", [](SFIO& r) { r.wf.re = nullptr; }},
        {"a missing channel", "missing channel", [](SFIO& r) { r.wf.im[1] = nullptr; }},
        {"a NaN response", "not finite", [](SFIO& r) { r.wf.re[0][3] = kNaN; }},
        {"an infinite frequency", "not finite", [](SFIO& r) { r.wf.freq[2] = kInf; }},
        {"another array type", "does not match", [](SFIO& r) { r.arraytype = 2; }},
        {"array type 0", "does not match", [](SFIO& r) { r.arraytype = 0; }},
    };
    for (const Case& c : cases) {
        OwnedRecord hostile(good, extra);
        c.spoil(hostile.record);
        expectRefused(Talvek_Put_SFIO_and_design_SFs(&hostile.record), c.word, c.name);
        expectDesignIntact();
    }
    // Frequencies that are out of order or outside the audio band are not a
    // shape error: whatever the library answers, it answers and stays usable.
    const std::vector<Case> odd = {
        {"descending frequencies", "", [](SFIO& r) { std::swap(r.wf.freq[0], r.wf.freq[r.wf.nFreq - 1]); }},
        {"repeated frequency", "", [](SFIO& r) { r.wf.freq[1] = r.wf.freq[0]; }},
        {"negative frequency", "", [](SFIO& r) { r.wf.freq[0] = -100; }},
        {"beyond Nyquist", "", [](SFIO& r) { r.wf.freq[r.wf.nFreq - 1] = 1e9; }},
        {"huge response", "", [](SFIO& r) { r.wf.re[0][0] = 1e300; }},
        {"all zero", "", [](SFIO& r) {
             for (int m = 0; m < r.wf.nChan; ++m)
                 for (int n = 0; n < r.wf.nFreq; ++n) r.wf.re[m][n] = r.wf.im[m][n] = 0;
         }},
    };
    for (const Case& c : odd) {
        OwnedRecord hostile(good, extra);
        c.spoil(hostile.record);
        if (Talvek_Put_SFIO_and_design_SFs(&hostile.record) != 1) {
            EXPECT_FALSE(errorText().empty()) << c.name;
        }
    }
    // The unspoilt record still designs.
    EXPECT_EQ(Talvek_Put_SFIO_and_design_SFs(&good), 1) << errorText();
    expectDesignIntact();
    releaseHostRecord(good);
}

TEST_F(HostileHost, UnwritableOutputFolderIsReported) {
    expectRefused(Talvek_Write_Files("/nonexistent-talvek-folder/", "design"), "nonexistent-talvek-folder",
                  "missing folder");
    TempDir dir("talvek-hostile");
    const std::string base = dir.path().string() + "/";
    EXPECT_EQ(Talvek_Write_Files(base.c_str(), "design"), 1) << errorText();
}

TEST_F(HostileHost, SetupSpeakerRefusesNumbersWithoutAModel) {
    for (double bad : {kNaN, kInf, -kInf, 1e300, -1e300, 2147483648.0, -2147483649.0}) {
        EXPECT_EQ(Talvek_Setup_Speaker(bad), -1) << bad;
        EXPECT_FALSE(errorText().empty());
    }
    EXPECT_EQ(Talvek_Setup_Speaker(-1), -1);  // "Vexal-8" has no archive
    EXPECT_EQ(errorText(), "Unable to open zip file data.");
    // The design outlives the failed choice; a good choice works again.
    expectDesignIntact();
    EXPECT_EQ(Talvek_Setup_Speaker(1), 1) << errorText();
}
