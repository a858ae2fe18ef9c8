// Hostile model documents and archives: each is refused with ParseException or
// a clear std::runtime_error, never a crash, a runaway allocation or a read out
// of bounds. Shape-by-shape refusals of the loader are in model_data_test.cpp;
// these are the attacks on the loader's resources and the values it accepts.
#include <gtest/gtest.h>
#include <zip.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <ostream>
#include <functional>
#include <string>
#include <vector>

#include "core/exceptions.h"
#include "host_session.h"
#include "include/talvek.h"
#include "model/model_data.h"
#include "model/zip_reader.h"
#include "test_support.h"

using namespace TalvekLib;
using talvek_test::errorText;
using talvek_test::ScopedCwd;
using talvek_test::TempDir;

namespace {

// What the loader answered to a document: "" when it accepted it. Anything
// but a refusal (bad_alloc included) escapes and fails the test.
std::string refusalOfText(const std::string& text) {
    try {
        const ModelData model(text.c_str());
    } catch (const ParseException& e) {
        return e.what();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

std::string repeated(const std::string& s, std::size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

std::string numberList(int n, const std::function<std::string(int)>& item) {
    std::string out = "[";
    for (int i = 0; i < n; ++i) out += (i ? "," : "") + item(i);
    return out + "]";
}

// A packed one-way document of `freqs` frequencies and `positions` driver
// positions measured with one prototype on two angles: a few bytes per
// frequency and per position. Packing resamples every frequency onto the
// 721-angle grid for every position.
std::string packedDocument(int freqs, int positions) {
    const auto ones = [](int) { return std::string("1"); };
    const std::string twoByOne = "[[1],[0.5]]";
    std::string s;
    s += "{\"flo\":90,\"f_flatten\":16000,\"rolloff_order\":2,\"twoway\":false,";
    s += "\"f_timbre\":[250,2000,16000],\"dB_timbre\":[0,0,0],\"arraytype\":1,\"ispacked\":true,";
    s += "\"wf\":{\"Nboxes\":1,\"yshift\":0.5,\"beta\":[1.02],\"phi\":[-90,90],";
    s += "\"driverpos\":" + numberList(positions, [](int i) { return std::to_string(0.01 * i); });
    s += ",\"f\":" + numberList(freqs, [](int i) { return std::to_string(50 + i); });
    s += ",\"ChDacAmp\":" + numberList(positions, ones);
    s += ",\"driver_delay\":[" + numberList(positions, ones) + "," + numberList(positions, ones) + "]";
    s += ",\"H\":{\"re\":" + numberList(freqs, [&](int) { return twoByOne; });
    s += ",\"im\":" + numberList(freqs, [&](int) { return twoByOne; }) + "}";
    s += ",\"Hdacamp\":{\"H\":[" + numberList(freqs, ones) + "],\"delay\":[0],\"Vclip\":[17],\"Nch\":1}";
    s += ",\"rolloff_sosa\":[[1,0,0,1,400,80000]],\"itpars\":[15]";
    s += ",\"chp\":" + numberList(positions, ones) + "}}";
    return s;
}

// The generated Vexal8 document, or "" when the models are not at hand.
std::string generatedVexal8() {
    if (talvek_test::modelDir().empty()) return "";
    return readZipEntry(talvek_test::modelDir() + "/Vexal8.bin", "Vexal8.json");
}

// Replaces the first number after `"key":` (inside any brackets) with `value`.
std::string withFirstNumber(std::string doc, const std::string& key, const std::string& value) {
    const std::size_t at = doc.find("\"" + key + "\":");
    if (at == std::string::npos) return "";
    std::size_t begin = at + key.size() + 3;
    while (doc[begin] == '[' || doc[begin] == '{' || doc[begin] == ' ') {
        if (doc[begin] == '{') begin = doc.find(':', begin);  // {"re": ... for H
        ++begin;
    }
    std::size_t end = begin;
    while (std::strchr("+-.0123456789eE", doc[end]) != nullptr) ++end;
    if (end == begin) return "";
    return doc.replace(begin, end - begin, value);
}

// Replaces the whole value of the first `"key":` (a number, or an array or
// object with everything inside it) with `raw`.
std::string withValue(std::string doc, const std::string& key, const std::string& raw) {
    const std::size_t at = doc.find("\"" + key + "\":");
    if (at == std::string::npos) return "";
    const std::size_t begin = at + key.size() + 3;
    std::size_t end = begin;
    if (doc[begin] == '[' || doc[begin] == '{') {
        int depth = 0;
        do {
            if (doc[end] == '[' || doc[end] == '{') ++depth;
            if (doc[end] == ']' || doc[end] == '}') --depth;
            ++end;
        } while (depth > 0 && end < doc.size());
    } else {
        end = doc.find_first_of(",}", begin);
    }
    return doc.replace(begin, end - begin, raw);
}

struct ZipEntry {
    std::string name;
    std::string content;
};

// Writes a deflated zip archive with libzip.
void writeZip(const std::filesystem::path& path, const std::vector<ZipEntry>& entries) {
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(archive, nullptr);
    for (const ZipEntry& e : entries) {
        void* copy = std::malloc(e.content.size() + 1);
        std::memcpy(copy, e.content.data(), e.content.size());
        zip_source_t* source = zip_source_buffer(archive, copy, e.content.size(), 1);  // libzip frees copy
        ASSERT_NE(source, nullptr);
        ASSERT_GE(zip_file_add(archive, e.name.c_str(), source, ZIP_FL_ENC_UTF_8), 0);
    }
    ASSERT_EQ(zip_close(archive), 0);
}

// Rewrites the uncompressed size that the local header (offset 22) and the
// central directory (offset 24) declare for the archive's only entry.
void declareUncompressedSize(const std::filesystem::path& path, std::uint32_t size) {
    std::string bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    const std::size_t local = bytes.find("PK\x03\x04");
    const std::size_t central = bytes.find("PK\x01\x02");
    ASSERT_NE(local, std::string::npos);
    ASSERT_NE(central, std::string::npos);
    for (int i = 0; i < 4; ++i) {
        bytes[local + 22 + i] = static_cast<char>((size >> (8 * i)) & 0xff);
        bytes[central + 24 + i] = static_cast<char>((size >> (8 * i)) & 0xff);
    }
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

// yajl frees a parsed tree recursively, one stack frame per level: a document
// of a million nested brackets (2 MB, far below the entry limit) would
// overflow the stack while being freed, after it parsed.
TEST(HostileModelText, DeepNestingIsRefusedWithoutExhaustingTheStack) {
    const std::size_t depth = 1000000;
    EXPECT_EQ(refusalOfText(repeated("[", depth) + repeated("]", depth)), "Error parsing JSON.");
    EXPECT_EQ(refusalOfText(repeated("{\"a\":", depth) + "1" + repeated("}", depth)), "Error parsing JSON.");
    // Deep inside an otherwise sensible document, and hidden behind closing
    // brackets in a comment.
    EXPECT_EQ(refusalOfText("{\"flo\":" + repeated("[", depth) + repeated("]", depth) + "}"), "Error parsing JSON.");
    EXPECT_EQ(refusalOfText("/* " + repeated("]", depth) + " */ {\"flo\":" + repeated("[", depth) +
                            repeated("]", depth) + "}"),
              "Error parsing JSON.");
}

// Packing multiplies frequencies x positions x 721 angles: without a bound a
// document of a few tens of kilobytes would ask for gigabytes.
TEST(HostileModelText, PackingBeyondASaneSizeIsRefusedBeforeAllocating) {
    // 1200 x 1200 x 721 complex values = 16.6 GB from a ~30 kB document.
    const std::string hostile = packedDocument(1200, 1200);
    ASSERT_LT(hostile.size(), 64u * 1024u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(refusalOfText(hostile), "Error parsing JSON.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // The same form at a realistic size loads.
    EXPECT_EQ(refusalOfText(packedDocument(20, 16)), "");
}

class HostileModelNumbers : public ::testing::TestWithParam<const char*> {};

// JSON has no NaN or infinity, but a number beyond the double range reads as
// infinity in strtod; the loader refuses it wherever it stands.
TEST_P(HostileModelNumbers, OutOfRangeNumberIsRefused) {
    const std::string doc = generatedVexal8();
    if (doc.empty()) GTEST_SKIP() << "TALVEK_MODEL_DIR not set";
    ASSERT_EQ(refusalOfText(doc), "");
    for (const char* value : {"1e999", "-1e999"}) {
        const std::string hostile = withFirstNumber(doc, GetParam(), value);
        ASSERT_FALSE(hostile.empty()) << GetParam();
        EXPECT_EQ(refusalOfText(hostile), "Error parsing JSON.") << GetParam() << " = " << value;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryKindOfField, HostileModelNumbers,
                         ::testing::Values("flo", "f_timbre", "yshift", "beta", "phi", "driverpos", "f",
                                           "driver_delay", "H", "Vclip", "rolloff_sosa", "itpars", "Nboxes",
                                           "arraytype"));

// Through the export: a hostile archive ends in -1 and the loader's message,
// and the library loads a good model afterwards.
TEST(HostileModelArchive, SetupSpeakerAnswersMinusOne) {
    TempDir dir("talvek-hostile-model");
    ScopedCwd cwd(dir.path());
    ASSERT_EQ(Talvek_MatLabInit(), 1);
    const std::string nested = repeated("[", 1000000) + repeated("]", 1000000);
    struct Case {
        double number;  // model number k: Vexal<8k>
        std::string text;
        std::uint32_t declaredSize;  // 0: as written
        const char* message;
    } cases[] = {
        {1, "{}", static_cast<std::uint32_t>(kMaxZipEntryBytes + 1), "Unable to locate data in zip stream."},
        {2, "{\"flo\": 90}", 4, "Unable to locate data in zip stream."},  // data longer than declared
        {3, nested, 0, "Error parsing JSON."},
        {4, packedDocument(1200, 1200), 0, "Error parsing JSON."},
        {5, "{\"flo\": 90, \"f_flatten\": 1e999}", 0, "Error parsing JSON."},
    };
    for (const Case& c : cases) {
        const std::string name = "Vexal" + std::to_string(static_cast<int>(8 * c.number));
        writeZip(name + ".bin", {{name + ".json", c.text}});
        if (c.declaredSize != 0) declareUncompressedSize(name + ".bin", c.declaredSize);
        EXPECT_EQ(Talvek_Setup_Speaker(c.number), -1) << name;
        EXPECT_EQ(errorText(), c.message) << name;
    }
    const std::string good = generatedVexal8();
    if (good.empty()) return;
    writeZip("Vexal8.bin", {{"Vexal8.json", good}});
    EXPECT_EQ(Talvek_Setup_Speaker(1), 1) << errorText();
}

// Values the loader accepts because they are finite and of the right shape,
// but that make no physical sense. Every export that works with such a model
// answers (1, or -1 with a message) and nothing reads out of bounds; under the
// sanitizer build, nothing overflows a conversion either.
struct AbsurdValue {
    const char* model;  // generated model the value is put into
    const char* key;
    const char* value;
};

// Names the case in CTest's list instead of a byte dump.
void PrintTo(const AbsurdValue& v, std::ostream* os) { *os << v.model << " " << v.key << " = " << v.value; }

class HostileModelValues : public ::testing::TestWithParam<AbsurdValue> {};

TEST_P(HostileModelValues, EveryExportAnswers) {
    const AbsurdValue& c = GetParam();
    if (talvek_test::modelDir().empty()) GTEST_SKIP() << "TALVEK_MODEL_DIR not set";
    const std::string name = c.model;
    const std::string doc = readZipEntry(talvek_test::modelDir() + "/" + name + ".bin", name + ".json");
    const std::string hostile = withValue(doc, c.key, c.value);
    ASSERT_FALSE(hostile.empty()) << c.key;
    TempDir dir("talvek-absurd");
    ScopedCwd cwd(dir.path());
    writeZip(name + ".bin", {{name + ".json", hostile}});
    ASSERT_EQ(Talvek_MatLabInit(), 1);
    Talvek_Setup_Speaker(0);  // empties the model cache, which may hold the bundled model
    const double number = name == "Vexal8" ? 1 : 2;
    const auto answered = [](int32_t status, const char* what) {
        EXPECT_TRUE(status == 1 || (status == -1 && !errorText().empty())) << what << " gave " << status;
        return status == 1;
    };
    if (!answered(Talvek_Setup_Speaker(number), "Setup_Speaker")) return;
    const std::vector<double> vi = talvek_test::typicalVenue();
    if (!answered(Talvek_Optimizer(3, 0, 2, 0, vi.data(), 0, 0, 0, talvek_test::kQuickIterations, 0),
                  "Optimizer")) {
        return;
    }
    const double px[] = {6, 0}, py[] = {1.2, 3.45};
    std::vector<double> power(2 * 215);
    double headroom = 0;
    answered(Talvek_Greens(3, 0, px, py, 2, 1, 215, power.data(), &headroom), "Greens");
    answered(Talvek_Write_Files((dir.path().string() + "/").c_str(), "absurd"), "Write_Files");
    SFIO record{};
    ASSERT_EQ(Talvek_Get_SFIO(&record), 1);
    answered(Talvek_Put_SFIO_and_design_SFs(&record), "Put_SFIO_and_design_SFs");
    talvek_test::releaseHostRecord(record);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostileModelValues,
    ::testing::Values(AbsurdValue{"Vexal8", "beta", "[0]"}, AbsurdValue{"Vexal8", "beta", "[-1]"},
                      AbsurdValue{"Vexal8", "yshift", "1e300"}, AbsurdValue{"Vexal8", "f_timbre", "[0, 0, 0]"},
                      AbsurdValue{"Vexal8", "dB_timbre", "[1e300, 0, 0]"},
                      AbsurdValue{"Vexal8", "f_flatten", "-1"},
                      AbsurdValue{"Vexal8", "Vclip", "[0, 0, 0, 0, 0, 0, 0, 0]"},
                      AbsurdValue{"Vexal8", "rolloff_sosa", "[[0, 0, 0, 0, 0, 0]]"},
                      AbsurdValue{"Vexal8", "arraytype", "10"},  // box table of another column
                      AbsurdValue{"Vexal16", "itpars", "[-5]"},  // the tweeter's own count
                      AbsurdValue{"Vexal16", "fx", "47999"}, AbsurdValue{"Vexal16", "bwx", "1e300"},
                      AbsurdValue{"Vexal16", "iir_xover_order", "1000"}),
    [](const auto& info) { return std::string(info.param.key) + std::to_string(info.index); });

// A model asking for more inner iterations than could ever finish is refused
// when it is loaded, not discovered as a hang during the first optimisation.
TEST(HostileModelValuesLoad, IterationCountBeyondReasonIsRefused) {
    const std::string doc = generatedVexal8();
    if (doc.empty()) GTEST_SKIP() << "TALVEK_MODEL_DIR not set";
    EXPECT_EQ(refusalOfText(withValue(doc, "itpars", "[100000]")), "Error parsing JSON.");
    EXPECT_EQ(refusalOfText(withValue(doc, "itpars", "[1e300]")), "Error parsing JSON.");
    EXPECT_EQ(refusalOfText(withValue(doc, "itpars", "[40, 2]")), "");
}
