// Hostile input: calls out of order, null pointers, non-finite and absurd
// numbers, counts the design or the model cannot serve, hostile model
// documents and archives, and a long session. Every export answers -1 with a
// message (or succeeds where the call is well defined), never crashes, never
// allocates without bound, and leaves the library usable. These run under the
// sanitizers and memcheck too (make sanitize, make valgrind).
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "core/exceptions.h"
#include "model/model_data.h"
#include "model/zip_reader.h"
#include "test_support.h"

using namespace talvek_test;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Expects -1 and a message that contains `part`.
void expectRefused(int32_t status, const std::string& part, const std::string& what) {
    EXPECT_EQ(status, -1) << what;
    if (status == -1) EXPECT_NE(errorText().find(part), std::string::npos) << what << ": \"" << errorText() << "\"";
}

// A design of the one-way Vexal8 in place.
class HostileHost : public HostSession {
protected:
    void SetUp() override {
        HostSession::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        setUp(1);
        optimise(typicalVenue());
        ASSERT_EQ(Talvek_Get_Nchannels(&wfChannels, &twChannels), 1);
    }
    void TearDown() override {  // the design is still there, unchanged in shape
        if (IsSkipped()) return;
        int32_t a = -1, b = -1;
        EXPECT_EQ(Talvek_Get_Nchannels(&a, &b), 1);
        EXPECT_EQ(a, wfChannels);
        EXPECT_EQ(b, twChannels);
    }
    int32_t wfChannels = 0, twChannels = 0;
};

}  // namespace

TEST_F(HostileHost, NullPointersAreRefused) {
    int32_t n = 0;
    double x = 5, y = 1, out = 0, scalar = 0;
    expectRefused(Talvek_Get_SFIO(nullptr), "null", "Get_SFIO");
    expectRefused(Talvek_Get_SFIO_pointer(nullptr), "null", "Get_SFIO_pointer");
    expectRefused(Talvek_Get_Nchannels(nullptr, &n), "null", "Get_Nchannels A");
    expectRefused(Talvek_Get_Nchannels(&n, nullptr), "null", "Get_Nchannels B");
    expectRefused(Talvek_Get_Frequencies(215, nullptr, nullptr), "count", "Get_Frequencies count");
    expectRefused(Talvek_Get_Frequencies(215, &n, nullptr), "null", "Get_Frequencies array");
    expectRefused(Talvek_Put_SFIO_and_design_SFs(nullptr), "null", "Put_SFIO");
    expectRefused(Talvek_SF_Response(nullptr), "null", "SF_Response");
    expectRefused(Talvek_Write_Files(nullptr, "x"), "null", "Write_Files dir");
    expectRefused(Talvek_Write_Files("", nullptr), "null", "Write_Files name");
    expectRefused(Talvek_Greens(3, 0, nullptr, &y, 1, 1, 1, &out, &scalar), "null", "Greens x");
    expectRefused(Talvek_Greens(3, 0, &x, &y, 1, 1, 1, &out, nullptr), "null", "Greens outScalar");
}

TEST_F(HostileHost, OptimizerRefusesNonFiniteAbsurdAndEmptyInput) {
    for (int column = 0; column < 6; ++column)
        for (double bad : {kNaN, kInf, -kInf, 1e300}) {
            std::vector<double> vi = venueTable({{2, 30, 1.2, 1.2, 96, 90, 1}});
            vi[column] = bad;
            expectRefused(Talvek_Optimizer(3, 0, 1, 0, vi.data(), 0, 0, 0, kQuickIterations, 0), "venue item 1",
                          "column " + std::to_string(column));
        }
    const std::vector<double> vi = typicalVenue();
    for (double bad : {kNaN, kInf}) {
        EXPECT_EQ(Talvek_Optimizer(bad, 0, 2, 0, vi.data(), 0, 0, 0, kQuickIterations, 0), -1) << "height";
        EXPECT_EQ(Talvek_Optimizer(3, bad, 2, 0, vi.data(), 0, 0, 0, kQuickIterations, 0), -1) << "tilt";
        EXPECT_EQ(Talvek_Optimizer(3, 0, 2, 0, vi.data(), 0, 0, 0, bad, 0), -1) << "p9";
    }
    expectRefused(Talvek_Optimizer(3, 0, 2, 0, vi.data(), 0, 0, 0, 100.5, 0), "at most 100", "p9 absurd");
    EXPECT_EQ(Talvek_Optimizer(3, 0, 0, 0, vi.data(), 0, 0, 0, kQuickIterations, 0), -1);
    EXPECT_EQ(Talvek_Optimizer(3, 0, std::numeric_limits<int32_t>::min(), 0, vi.data(), 0, 0, 0, 1, 0), -1);
    EXPECT_EQ(Talvek_Optimizer(3, 0, 2, 0, nullptr, 0, 0, 0, kQuickIterations, 0), -1);
    const std::vector<double> inactive = venueTable({{2, 30, 1.2, 1.2, 96, 90, 0}});
    expectRefused(Talvek_Optimizer(3, 0, 1, 0, inactive.data(), 0, 0, 0, kQuickIterations, 0), "direction", "all inactive");
    expectRefused(Talvek_Optimizer(3, 0, 1, 0, inactive.data(), 0, 0, 1, kQuickIterations, 0), "", "all zero");
    const std::vector<double> behind = venueTable({{-2, -30, 1.2, 1.2, 96, 90, 1}});
    expectRefused(Talvek_Optimizer(3, 0, 1, 0, behind.data(), 0, 0, 0, kQuickIterations, 0), "out of sight", "behind");
    // The unused arguments may hold anything.
    EXPECT_EQ(Talvek_Optimizer(3, 0, 2, 12345, vi.data(), kNaN, kInf, 0, kQuickIterations, -kInf), 1) << errorText();
}

TEST_F(HostileHost, GreensRefusesCountsIndicesAndPointsOutOfRange) {
    const std::vector<double> x = {5, 10, 20}, y = {1.2, 1.2, 1.2};
    std::vector<double> out(215 * 3, -1.0), one(1, -1.0);
    double scalar = 0;
    const auto greens = [&](int points, double a, double b) {
        return Talvek_Greens(3, 0, x.data(), y.data(), points, a, b, out.data(), &scalar);
    };
    ASSERT_EQ(greens(3, 1, 215), 1) << errorText();  // 1-based, inclusive
    const double first = out[0];
    ASSERT_EQ(Talvek_Greens(3, 0, x.data(), y.data(), 1, 1, 1, one.data(), &scalar), 1);
    EXPECT_DOUBLE_EQ(one[0], first);
    expectRefused(greens(0, 1, 1), "pointCount", "no points");
    const double badIndex[][2] = {{0, 1}, {1, 216}, {216, 216}, {5, 4}, {kNaN, 3}, {1, kInf}, {1e300, 1e300}, {-3e9, 1}};
    for (const auto& ab : badIndex) EXPECT_EQ(greens(1, ab[0], ab[1]), -1) << ab[0] << ".." << ab[1];
    for (double bad : {kNaN, kInf}) {
        const std::vector<double> badX = {5, bad, 20};
        EXPECT_EQ(Talvek_Greens(bad, 0, x.data(), y.data(), 3, 1, 2, out.data(), &scalar), -1);
        EXPECT_EQ(Talvek_Greens(3, 0, badX.data(), y.data(), 3, 1, 2, out.data(), &scalar), -1);
    }
    // A point on a driver (Vexal8's fifth woofer, 0.45 m above the reference point) is answered.
    const std::vector<double> onDriver = {0}, driverHeight = {3.45}, far = {1e300, -1e300, 5};
    EXPECT_EQ(Talvek_Greens(3, 0, onDriver.data(), driverHeight.data(), 1, 1, 215, out.data(), &scalar), 1) << errorText();
    expectRefused(Talvek_Greens(3, 0, far.data(), y.data(), 3, 1, 215, out.data(), &scalar), "within 100 km", "far");
}

namespace {

// A host record built from vectors with room for `extra` more frequencies and
// channels, so a test can claim larger counts without a read past an array.
struct OwnedRecord {
    struct Set {
        std::vector<double> freq;
        std::vector<std::vector<double>> re, im;
        std::vector<double*> rePtr, imPtr;
    } sets[2];
    SFIO record{};

    OwnedRecord(const SFIO& from, int extra) : record(from) {
        SFIOChannelSet* views[2] = {&record.wf, &record.tw};
        for (int k = 0; k < 2; ++k) {
            const SFIOChannelSet& s = *views[k];
            if (s.nFreq <= 0 || s.nChan <= 0) continue;  // an empty set stays empty
            Set& o = sets[k];
            for (int n = 0; n < s.nFreq + extra; ++n) o.freq.push_back(s.freq[std::min(n, s.nFreq - 1)] + std::max(0, n - s.nFreq + 1));
            for (int m = 0; m < s.nChan + extra; ++m) {
                o.re.emplace_back(s.nFreq + extra, 0.0);
                o.im.emplace_back(s.nFreq + extra, 0.0);
                std::copy(s.re[std::min(m, s.nChan - 1)], s.re[std::min(m, s.nChan - 1)] + s.nFreq, o.re[m].begin());
                std::copy(s.im[std::min(m, s.nChan - 1)], s.im[std::min(m, s.nChan - 1)] + s.nFreq, o.im[m].begin());
            }
            for (int m = 0; m < s.nChan + extra; ++m) o.rePtr.push_back(o.re[m].data()), o.imPtr.push_back(o.im[m].data());
            views[k]->freq = o.freq.data();
            views[k]->re = o.rePtr.data();
            views[k]->im = o.imPtr.data();
        }
    }
};

}  // namespace

TEST_F(HostileHost, RecordsThatDoNotFitTheModelAreRefused) {
    SFIO good{};
    ASSERT_EQ(Talvek_Get_SFIO(&good), 1);
    const struct { const char* part; std::function<void(SFIO&)> spoil; } cases[] = {
        {"has 9 channels; the model has 8", [](SFIO& r) { r.wf.nChan += 1; }},
        {"has 7 channels", [](SFIO& r) { r.wf.nChan -= 1; }},
        {"needs 1 to 215 frequencies, not 0", [](SFIO& r) { r.wf.nFreq = 0; }},
        {"needs 1 to 215 frequencies, not 216", [](SFIO& r) { r.wf.nFreq = 216; }},
        {"negative", [](SFIO& r) { r.wf.nFreq = -1; }},
        {"negative", [](SFIO& r) { r.wf.nChan = -5; }},
        {"frequency array", [](SFIO& r) { r.wf.freq = nullptr; }},
        {"channel arrays", [](SFIO& r) { r.wf.re = nullptr; }},
        {"missing channel", [](SFIO& r) { r.wf.im[1] = nullptr; }},
        {"not finite", [](SFIO& r) { r.wf.re[0][3] = kNaN; }},
        {"not finite", [](SFIO& r) { r.wf.freq[2] = kInf; }},
        {"does not match", [](SFIO& r) { r.arraytype = 2; }}};
    for (const auto& c : cases) {
        OwnedRecord hostile(good, 216);
        c.spoil(hostile.record);
        expectRefused(Talvek_Put_SFIO_and_design_SFs(&hostile.record), c.part, c.part);
    }
    // Frequencies out of order or outside the audio band, huge or all-zero
    // responses are no shape error: answered either way.
    const std::function<void(SFIO&)> odd[] = {
        [](SFIO& r) { std::swap(r.wf.freq[0], r.wf.freq[r.wf.nFreq - 1]); }, [](SFIO& r) { r.wf.freq[0] = -100; },
        [](SFIO& r) { r.wf.freq[r.wf.nFreq - 1] = 1e9; }, [](SFIO& r) { r.wf.re[0][0] = 1e300; },
        [](SFIO& r) {
            for (int m = 0; m < r.wf.nChan; ++m) std::fill(r.wf.re[m], r.wf.re[m] + r.wf.nFreq, 0.0), std::fill(r.wf.im[m], r.wf.im[m] + r.wf.nFreq, 0.0);
        }};
    for (const auto& spoil : odd) {
        OwnedRecord hostile(good, 0);
        spoil(hostile.record);
        if (Talvek_Put_SFIO_and_design_SFs(&hostile.record) != 1) EXPECT_FALSE(errorText().empty());
    }
    EXPECT_EQ(Talvek_Put_SFIO_and_design_SFs(&good), 1) << errorText();
    releaseHostRecord(good);
}

// ---------------------------------------------------------------- hostile models

namespace {

// What the loader answered to a document: "" when it accepted it. Anything
// but a refusal (bad_alloc included) escapes and fails the test.
std::string refusalOf(const std::string& text) {
    try {
        const TalvekLib::ModelData model(text.c_str());
    } catch (const TalvekLib::ParseException& e) {
        return e.what();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

std::string list(int n, const std::string& item) {
    std::string out = "[";
    for (int i = 0; i < n; ++i) out += (i ? "," : "") + item;
    return out + "]";
}

// A packed one-way document of `freqs` frequencies and `positions` driver
// positions on two angles: packing resamples each onto 721 angles per position.
std::string packedDocument(int freqs, int positions) {
    return "{\"flo\":90,\"f_flatten\":16000,\"rolloff_order\":2,\"twoway\":false,\"f_timbre\":[250,2000,16000],"
           "\"dB_timbre\":[0,0,0],\"arraytype\":1,\"ispacked\":true,\"wf\":{\"Nboxes\":1,\"yshift\":0.5,"
           "\"beta\":[1.02],\"phi\":[-90,90],\"driverpos\":" + list(positions, "0.01") + ",\"f\":" + list(freqs, "50") +
           ",\"ChDacAmp\":" + list(positions, "1") + ",\"driver_delay\":" + list(2, list(positions, "1")) +
           ",\"H\":{\"re\":" + list(freqs, "[[1],[0.5]]") + ",\"im\":" + list(freqs, "[[1],[0.5]]") +
           "},\"Hdacamp\":{\"H\":[" + list(freqs, "1") + "],\"delay\":[0],\"Vclip\":[17],\"Nch\":1},"
           "\"rolloff_sosa\":[[1,0,0,1,400,80000]],\"itpars\":[15],\"chp\":" + list(positions, "1") + "}}";
}

std::string generated(const std::string& name) {
    return TalvekLib::readZipEntry(modelDir() + "/" + name + ".bin", name + ".json");
}

// Replaces the first number after `"key":` (inside any brackets) with `value`.
std::string withFirstNumber(std::string doc, const std::string& key, const std::string& value) {
    std::size_t begin = doc.find("\"" + key + "\":") + key.size() + 3, end;
    while (std::strchr("[{ ", doc[begin])) begin = doc[begin] == '{' ? doc.find(':', begin) + 1 : begin + 1;
    for (end = begin; std::strchr("+-.0123456789eE", doc[end]); ++end) {}
    return doc.replace(begin, end - begin, value);
}

// Replaces the whole value of the first `"key":` (a number, or an array or
// object with everything inside it) with `raw`.
std::string withValue(std::string doc, const std::string& key, const std::string& raw) {
    const std::size_t begin = doc.find("\"" + key + "\":") + key.size() + 3;
    std::size_t end = begin;
    if (doc[begin] == '[' || doc[begin] == '{') {
        for (int depth = 0; end == begin || depth > 0; ++end) depth += (doc[end] == '[' || doc[end] == '{') - (doc[end] == ']' || doc[end] == '}');
    } else {
        end = doc.find_first_of(",}", begin);
    }
    return doc.replace(begin, end - begin, raw);
}

}  // namespace

// A million nested brackets (2 MB) would overflow the stack when yajl frees
// the tree; packing 1200 x 1200 x 721 values from a 30 kB document would ask
// for 16 GB; numbers beyond the double range read as infinity.
TEST(HostileModel, DocumentsAttackingTheLoadersResources) {
    const std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
    EXPECT_EQ(refusalOf(deep), "Error parsing JSON.");
    EXPECT_EQ(refusalOf("/* " + std::string(1000000, ']') + " */ {\"flo\":" + deep + "}"), "Error parsing JSON.");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(refusalOf(packedDocument(1200, 1200)), "Error parsing JSON.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(refusalOf(packedDocument(20, 16)), "");
    if (modelDir().empty()) GTEST_SKIP() << "TALVEK_MODEL_DIR not set";
    const std::string doc = generated("Vexal8");
    ASSERT_EQ(refusalOf(doc), "");
    for (const char* key : {"flo", "f_timbre", "yshift", "beta", "phi", "driverpos", "f", "driver_delay", "H", "Vclip",
                            "rolloff_sosa", "itpars", "Nboxes", "arraytype"})
        for (const char* value : {"1e999", "-1e999"})
            EXPECT_EQ(refusalOf(withFirstNumber(doc, key, value)), "Error parsing JSON.") << key << " = " << value;
    EXPECT_EQ(refusalOf(withValue(doc, "itpars", "[1e300]")), "Error parsing JSON.");
}

// Through the export: a hostile archive ends in -1 and the loader's message.
TEST(HostileModel, SetupSpeakerAnswersMinusOne) {
    TempDir dir("talvek-hostile-model");
    ScopedCwd cwd(dir.path());
    ASSERT_EQ(Talvek_MatLabInit(), 1);
    Talvek_Setup_Speaker(0);  // empties the model cache, which may hold a bundled model
    const struct { int number; std::string text; std::uint32_t declared; const char* message; } cases[] = {
        {1, "{}", static_cast<std::uint32_t>(TalvekLib::kMaxZipEntryBytes + 1), "Unable to locate data in zip stream."},
        {2, std::string(1000000, '[') + std::string(1000000, ']'), 0, "Error parsing JSON."},
        {3, packedDocument(1200, 1200), 0, "Error parsing JSON."}};
    for (const auto& c : cases) {
        const std::string name = "Vexal" + std::to_string(8 * c.number);
        writeZip(name + ".bin", {{name + ".json", c.text}});
        if (c.declared != 0) declareUncompressedSize(name + ".bin", c.declared);
        EXPECT_EQ(Talvek_Setup_Speaker(c.number), -1) << name;
        EXPECT_EQ(errorText(), c.message) << name;
    }
}

// ---------------------------------------------------------------- long session

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // ASan keeps freed memory in quarantine: RSS says nothing
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Resident set size after handing freed heap memory back to the system.
long residentBytes() {
    malloc_trim(0);
    long pages = 0, resident = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return -1;
    const int got = std::fscanf(f, "%ld %ld", &pages, &resident);
    std::fclose(f);
    return got == 2 ? resident * sysconf(_SC_PAGESIZE) : -1;
}

}  // namespace

class LongSession : public HostSession {};

// Many optimisations alternating Vexal8, Vexal16 and Vexal32 in blocks of ten
// cycles, venue and tilt changing every cycle, each read out into the same
// host record, designed again from it, written and evaluated. Resident memory
// must not grow over the 150 cycles after the warm-up by more than half of
// what leaking one record of responses per cycle would add (8 MB).
// TALVEK_SESSION_CYCLES shortens the session (valgrind).
TEST_F(LongSession, AlternatingDesignsKeepMemoryBounded) {
    const char* env = std::getenv("TALVEK_SESSION_CYCLES");
    const int cycles = env ? std::max(1, std::atoi(env)) : kSanitized ? 24 : 200, warmUp = std::min(cycles, 50);
    const std::vector<double> venues[] = {typicalVenue(), venueTable({{1, 15, 0.0, 0.0, 95, 88, 1}, {16, 20, 0.5, 1.0, 90, 90, 0}}),
                                          venueTable({{3, 40, 1.2, 6.0, 98, 92, 1}})};
    const double models[] = {1, 2, 4}, tilts[] = {0.0, -4.0, 2.5}, px[] = {6, 25}, py[] = {1.2, 1.2};
    TempDir files("talvek-session");
    const std::string folder = files.path().string() + "/";
    SFIO host{};
    double power[3 * 2], headroom = 0;
    long before = 0;
    for (int i = 0; i < cycles; ++i) {
        if (i == warmUp) before = residentBytes();
        const std::vector<double>& vi = venues[i % 3];
        ASSERT_EQ(Talvek_Setup_Speaker(models[(i / 10) % 3]), 1) << errorText();
        ASSERT_EQ(Talvek_Optimizer(3.0, tilts[i % 3], static_cast<int>(vi.size() / 7), 0, vi.data(), 0, 0, (i / 3) % 2,
                                   kQuickIterations, 0), 1) << "cycle " << i << ": " << errorText();
        ASSERT_EQ(Talvek_Get_SFIO(&host), 1) << errorText();
        ASSERT_EQ(Talvek_Put_SFIO_and_design_SFs(&host), 1) << errorText();
        ASSERT_EQ(Talvek_Write_Files(folder.c_str(), "session"), 1) << errorText();
        ASSERT_EQ(Talvek_Greens(3.0, 0.0, px, py, 2, 10, 12, power, &headroom), 1) << errorText();
    }
    const long after = residentBytes();
    releaseHostRecord(host);
    std::printf("long session: %d cycles, resident %.1f MB at the end, %.1f MB after the warm-up\n", cycles,
                after / 1048576.0, before / 1048576.0);
    if (!kSanitized && cycles == 200 && before > 0) EXPECT_LT(after - before, 4L * 1024 * 1024);
}
