// The model archive reader, the JSON accessors and the one-entry model cache.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zip.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "core/exceptions.h"
#include "model/json.h"
#include "model/model_cache.h"
#include "model/zip_reader.h"
#include "test_support.h"

using namespace TalvekLib;
using talvek_test::ScopedCwd;
using talvek_test::TempDir;

namespace {

struct Entry {
    std::string name;
    std::string content;
    bool deflate = true;
};

// Writes a zip archive with libzip; the buffers are copied into the archive.
void writeZip(const std::filesystem::path& path, const std::vector<Entry>& entries) {
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(archive, nullptr);
    for (const Entry& e : entries) {
        void* copy = std::malloc(e.content.size() + 1);
        std::memcpy(copy, e.content.data(), e.content.size());
        zip_source_t* source = zip_source_buffer(archive, copy, e.content.size(), 1);  // libzip frees copy
        ASSERT_NE(source, nullptr);
        const zip_int64_t index = zip_file_add(archive, e.name.c_str(), source, ZIP_FL_ENC_UTF_8);
        ASSERT_GE(index, 0);
        ASSERT_EQ(zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                                           e.deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0),
                  0);
    }
    ASSERT_EQ(zip_close(archive), 0);
}

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

void putLe32(std::string& bytes, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// TempDir names repeat across processes (unseeded rand): CTest runs tests in
// parallel processes, so the process id keeps their folders apart.
std::string scratchTag() { return "talvek-zip-" + std::to_string(::getpid()); }

const char* kOpenError = "Unable to open zip file data.";
const char* kLocateError = "Unable to locate data in zip stream.";

}  // namespace

// ---------------------------------------------------------------- readZipEntry

class ZipReadEntry : public ::testing::TestWithParam<bool> {};

TEST_P(ZipReadEntry, ReturnsTheBytesOfTheNamedEntryOnly) {
    TempDir dir(scratchTag());
    // Zero bytes inside the entry must survive; other entries are ignored.
    const std::string content = std::string("{\"a\":1}\0tail", 12) + std::string(5000, 'x');
    writeZip(dir.path() / "m.bin", {{"other.json", "no", GetParam()}, {"Model.json", content, GetParam()}});
    const std::string got = readZipEntry((dir.path() / "m.bin").string(), "Model.json");
    EXPECT_EQ(got, content);
    EXPECT_EQ(got.c_str()[got.size()], '\0');
}

INSTANTIATE_TEST_SUITE_P(StoredAndDeflated, ZipReadEntry, ::testing::Bool());

TEST(ZipReader, NameMatchIgnoresCaseButNotThePath) {
    TempDir dir(scratchTag());
    const auto archive = (dir.path() / "m.bin").string();
    writeZip(archive, {{"VEXAL64.JSON", "upper"}, {"models/Vexal8.json", "nested"}});
    EXPECT_EQ(readZipEntry(archive, "vexal64.json"), "upper");
    EXPECT_EQ(errorOf([&] { readZipEntry(archive, "Vexal8.json"); }), kLocateError);
    EXPECT_EQ(readZipEntry(archive, "MODELS/vexal8.json"), "nested");
}

TEST(ZipReader, MissingOrForeignArchiveCannotBeOpened) {
    TempDir dir(scratchTag());
    EXPECT_EQ(errorOf([&] { readZipEntry((dir.path() / "absent.bin").string(), "a.json"); }), kOpenError);
    writeFile(dir.path() / "text.bin", "this is not a zip archive, just some text long enough");
    EXPECT_EQ(errorOf([&] { readZipEntry((dir.path() / "text.bin").string(), "a.json"); }), kOpenError);
}

TEST(ZipReader, CorruptEntryIsNotReturned) {
    TempDir dir(scratchTag());
    const auto path = dir.path() / "m.bin";
    writeZip(path, {{"a.json", "ABCDEFGHIJKLMNOP", false}});
    std::string bytes = readFile(path);
    const std::size_t at = bytes.find("ABCDEFGH");
    ASSERT_NE(at, std::string::npos);
    bytes[at] = 'Z';  // checksum no longer matches
    writeFile(path, bytes);
    EXPECT_EQ(errorOf([&] { readZipEntry(path.string(), "a.json"); }), kLocateError);
}

TEST(ZipReader, HugeDeclaredSizeIsRefusedBeforeAllocating) {
    TempDir dir(scratchTag());
    const auto path = dir.path() / "m.bin";
    writeZip(path, {{"a.json", "{}", false}});
    std::string bytes = readFile(path);
    // Uncompressed size fields: local header offset 22, central directory offset 24.
    const std::size_t local = bytes.find("PK\x03\x04");
    const std::size_t central = bytes.find("PK\x01\x02");
    ASSERT_NE(local, std::string::npos);
    ASSERT_NE(central, std::string::npos);
    putLe32(bytes, local + 22, 0xFFFFFFF0u);
    putLe32(bytes, central + 24, 0xFFFFFFF0u);
    writeFile(path, bytes);
    EXPECT_EQ(errorOf([&] { readZipEntry(path.string(), "a.json"); }), kLocateError);
}

// ---------------------------------------------------------------- JSON accessors

namespace {

// Runs `read` on the value of {"v": <valueText>}.
template <typename Read>
auto readValue(const std::string& valueText, Read read) {
    const JsonDocument doc(("{\"v\": " + valueText + "}").c_str());
    return read(jsonGet(doc.root(), "v"));
}

struct RejectCase {
    const char* accessor;
    const char* value;
};

void readWith(const std::string& accessor, yajl_val v) {
    if (accessor == "int") jsonInt(v);
    else if (accessor == "double") jsonDouble(v);
    else if (accessor == "bool") jsonBool(v);
    else if (accessor == "vector") jsonVector(v);
    else if (accessor == "intvector") jsonIntVector(v);
    else if (accessor == "matrix") jsonMatrix(v);
    else if (accessor == "matrixlist") jsonMatrixList(v);
    else if (accessor == "complexlist") jsonComplexMatrixList(v);
    else FAIL() << accessor;
}

}  // namespace

namespace {
void PrintTo(const RejectCase& c, std::ostream* os) { *os << c.accessor; }
}  // namespace

class JsonRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(JsonRejects, ThrowsParseException) {
    const RejectCase c = GetParam();
    const JsonDocument doc(("{\"v\": " + std::string(c.value) + "}").c_str());
    ASSERT_NE(doc.root(), nullptr) << c.value;
    EXPECT_THROW(readWith(c.accessor, jsonGet(doc.root(), "v")), ParseException) << c.accessor << " " << c.value;
}

INSTANTIATE_TEST_SUITE_P(
    Table, JsonRejects,
    ::testing::Values(RejectCase{"int", "1.5"}, RejectCase{"int", "1e3"}, RejectCase{"int", "\"3\""},
                      RejectCase{"int", "true"}, RejectCase{"int", "[1]"},
                      RejectCase{"int", "123456789012345678901234567890"},
                      RejectCase{"double", "\"2.5\""}, RejectCase{"double", "null"}, RejectCase{"double", "[2]"},
                      RejectCase{"double", "1e999"}, RejectCase{"bool", "1"}, RejectCase{"bool", "0"},
                      RejectCase{"bool", "\"true\""}, RejectCase{"vector", "[1, \"a\"]"},
                      RejectCase{"vector", "{}"}, RejectCase{"vector", "[[1]]"}, RejectCase{"vector", "false"},
                      RejectCase{"vector", "[1, 1e999]"}, RejectCase{"intvector", "[1, 2.5]"},
                      RejectCase{"intvector", "\"1\""}, RejectCase{"matrix", "[[1, 2], [3]]"},
                      RejectCase{"matrix", "[]"}, RejectCase{"matrix", "[[]]"}, RejectCase{"matrix", "5"},
                      RejectCase{"matrix", "[[1], \"x\"]"}, RejectCase{"matrixlist", "[[[1]], 3]"},
                      RejectCase{"matrixlist", "{}"}, RejectCase{"complexlist", "{\"re\": [[[1]]]}"},
                      RejectCase{"complexlist", "{\"re\": [[[1]]], \"im\": []}"},
                      RejectCase{"complexlist", "{\"re\": [[[1, 2]]], \"im\": [[[1]]]}"},
                      RejectCase{"complexlist", "[[[1]]]"}),
    [](const auto& info) { return std::string(info.param.accessor) + std::to_string(info.index); });

TEST(JsonAccessors, AbsentNodesAndMalformedTextThrow) {
    EXPECT_THROW(jsonGet(nullptr, "a"), ParseException);
    EXPECT_THROW(jsonDouble(nullptr), ParseException);
    EXPECT_THROW(jsonVector(nullptr), ParseException);
    EXPECT_THROW(jsonMatrix(nullptr), ParseException);
    const JsonDocument broken("{\"a\": [1, 2");
    EXPECT_EQ(broken.root(), nullptr);
    EXPECT_THROW(jsonGet(broken.root(), "a"), ParseException);
    const JsonDocument none(nullptr);
    EXPECT_EQ(none.root(), nullptr);
}

TEST(JsonAccessors, GetMatchesExactBytesAndAcceptsComments) {
    const JsonDocument doc("/* model */ {\"flo\": 1, \"Flo\": 2, // trailing comment\n \"flo\": 3}");
    ASSERT_NE(doc.root(), nullptr);
    EXPECT_EQ(jsonInt(jsonGet(doc.root(), "flo")), 1);  // first match
    EXPECT_EQ(jsonInt(jsonGet(doc.root(), "Flo")), 2);
    EXPECT_THROW(jsonGet(doc.root(), "FLO"), ParseException);
    EXPECT_THROW(jsonGet(jsonGet(doc.root(), "flo"), "x"), ParseException);  // not an object
}

TEST(JsonAccessors, Scalars) {
    EXPECT_EQ(readValue("-7", jsonInt), -7);
    EXPECT_EQ(readValue("4294967301", jsonInt), 5);  // 2^32 + 5 cut to 32 bits
    EXPECT_EQ(readValue("2.5", jsonDouble), 2.5);
    EXPECT_EQ(readValue("3", jsonDouble), 3.0);
    EXPECT_EQ(readValue("-1.25e-3", jsonDouble), -1.25e-3);
    EXPECT_TRUE(readValue("true", jsonBool));
    EXPECT_FALSE(readValue("false", jsonBool));
}

TEST(JsonAccessors, Vectors) {
    EXPECT_EQ(readValue("3", jsonVector), (Vector(1) << 3.0).finished());
    EXPECT_EQ(readValue("[]", jsonVector).size(), 0);
    EXPECT_EQ(readValue("[1, 2.5, -4]", jsonVector), (Vector(3) << 1.0, 2.5, -4.0).finished());
    EXPECT_EQ(readValue("[1, -2, 3]", jsonIntVector), (IVector(3) << 1, -2, 3).finished());
    EXPECT_EQ(readValue("-4", jsonIntVector), (IVector(1) << -4).finished());
}

TEST(JsonAccessors, Matrices) {
    const Matrix m = readValue("[[1, 2, 3], [4, 5, 6]]", jsonMatrix);
    EXPECT_EQ(m, (Matrix(2, 3) << 1, 2, 3, 4, 5, 6).finished());
    // A flat array is a column: each number a row of one.
    EXPECT_EQ(readValue("[1, 2, 3]", jsonMatrix), (Matrix(3, 1) << 1, 2, 3).finished());

    const auto list = readValue("[[[1]], [[1, 2], [3, 4]]]", jsonMatrixList);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1], (Matrix(2, 2) << 1, 2, 3, 4).finished());
    EXPECT_TRUE(readValue("[]", jsonMatrixList).empty());

    const auto complex = readValue("{\"im\": [[[3, 4]]], \"re\": [[[1, 2]]]}", jsonComplexMatrixList);
    ASSERT_EQ(complex.size(), 1u);
    EXPECT_EQ(complex[0], (CMatrix(1, 2) << Complex(1, 3), Complex(2, 4)).finished());
}

// ---------------------------------------------------------------- the model cache

namespace {

// A loadable model: the generated Vexal8 archive, copied into `dir`.
bool copyGeneratedVexal8(const std::filesystem::path& dir) {
    const std::string models = talvek_test::modelDir();
    if (models.empty()) return false;
    std::filesystem::copy_file(std::filesystem::path(models) / "Vexal8.bin", dir / "Vexal8.bin");
    return true;
}

}  // namespace

TEST(ModelCache, SameNameOpensTheArchiveOnce) {
    TempDir dir(scratchTag());
    if (!copyGeneratedVexal8(dir.path())) GTEST_SKIP() << "TALVEK_MODEL_DIR not set";
    ScopedCwd cwd(dir.path());

    const ModelData* first = loadModel("Vexal8");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->arraytype, 1);
    std::filesystem::remove("Vexal8.bin");
    EXPECT_EQ(loadModel("Vexal8"), first);  // served from the cache: the file is gone
}

TEST(ModelCache, FailedLoadLeavesTheCacheEmpty) {
    TempDir dir(scratchTag());
    if (!copyGeneratedVexal8(dir.path())) GTEST_SKIP() << "TALVEK_MODEL_DIR not set";
    ScopedCwd cwd(dir.path());

    ASSERT_NE(loadModel("Vexal8"), nullptr);
    EXPECT_EQ(errorOf([] { loadModel("Vexal0"); }), kOpenError);
    EXPECT_EQ(loadModel(""), nullptr);  // the empty name now matches the emptied cache

    // The earlier model is read again: with its archive gone, that fails.
    std::filesystem::rename("Vexal8.bin", "kept.bin");
    EXPECT_EQ(errorOf([] { loadModel("Vexal8"); }), kOpenError);
    std::filesystem::rename("kept.bin", "Vexal8.bin");
    EXPECT_NE(loadModel("Vexal8"), nullptr);
}

TEST(ModelCache, ArchiveAndDocumentFailuresReachTheCaller) {
    TempDir dir(scratchTag());
    ScopedCwd cwd(dir.path());
    writeZip("Broken.bin", {{"Broken.json", "{\"flo\": 1,"}});
    writeZip("Nested.bin", {{"data/Nested.json", "{}"}});
    EXPECT_EQ(errorOf([] { loadModel("Broken"); }), "Error parsing JSON.");
    EXPECT_EQ(errorOf([] { loadModel("Nested"); }), kLocateError);
    EXPECT_EQ(loadModel(""), nullptr);
}
