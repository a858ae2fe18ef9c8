// The model layer: zip entries, JSON accessors, model documents, driver
// sections and their packing, and the one-entry model cache. The fit tables
// are proven by the filters they design (filters_test.cpp).
// Table lookup and dB conversion are cross-checked against numpy in
// tests/python/test_filters_vs_scipy.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/exceptions.h"
#include "filters/butterworth.h"
#include "model/driver_data.h"
#include "model/json.h"
#include "core/lib_settings.h"
#include "model/model_cache.h"
#include "model/model_data.h"
#include "model/zip_reader.h"
#include "test_support.h"

using namespace TalvekLib;
using namespace talvek_test;

namespace {

const char* const kOpenError = "Unable to open zip file data.";
const char* const kLocateError = "Unable to locate data in zip stream.";

Vector vec(std::initializer_list<double> v) { return Eigen::Map<const Vector>(v.begin(), v.size()); }

}  // namespace

// ---------------------------------------------------------------- zip archives

TEST(ZipReader, FindsWholePathsIgnoringCaseStoredOrDeflated) {
    TempDir dir("talvek-zip");
    const std::string a = (dir.path() / "m.bin").string();
    const std::string content = std::string("{\"a\":1}\0tail", 12) + std::string(5000, 'x');
    for (bool deflate : {false, true}) {
        writeZip(a, {{"other.json", "no", deflate}, {"VEXAL64.JSON", content, deflate},
                     {"models/Vexal8.json", "nested", deflate}});
        EXPECT_EQ(readZipEntry(a, "vexal64.json"), content);
        EXPECT_EQ(readZipEntry(a, "MODELS/vexal8.json"), "nested");
        EXPECT_EQ(errorOf([&] { readZipEntry(a, "Vexal8.json"); }), kLocateError);
    }
}

TEST(ZipReader, RefusesMissingForeignCorruptAndOversizedArchives) {
    TempDir dir("talvek-zip");
    const auto path = dir.path() / "m.bin";
    EXPECT_EQ(errorOf([&] { readZipEntry((dir.path() / "absent.bin").string(), "a.json"); }), kOpenError);
    writeFile(path, "this is not a zip archive, just some text long enough");
    EXPECT_EQ(errorOf([&] { readZipEntry(path.string(), "a.json"); }), kOpenError);

    writeZip(path, {{"a.json", "ABCDEFGHIJKLMNOP", false}});
    std::string bytes = readFile(path);
    bytes[bytes.find("ABCDEFGH")] = 'Z';  // the checksum no longer matches
    writeFile(path, bytes);
    EXPECT_EQ(errorOf([&] { readZipEntry(path.string(), "a.json"); }), kLocateError);

    for (std::uint32_t declared : {static_cast<std::uint32_t>(kMaxZipEntryBytes + 1), 4u}) {
        writeZip(path, {{"a.json", "{\"flo\": 90}", false}});  // too large to allocate, or longer than declared
        declareUncompressedSize(path, declared);
        EXPECT_EQ(errorOf([&] { readZipEntry(path.string(), "a.json"); }), kLocateError) << declared;
    }
}

// ---------------------------------------------------------------- JSON accessors

namespace {

template <typename Read>
auto readValue(const std::string& valueText, Read read) {
    const JsonDocument doc(("{\"v\": " + valueText + "}").c_str());
    return read(jsonGet(doc.root(), "v"));
}

void readWith(const std::string& accessor, yajl_val v) {
    if (accessor == "int") jsonInt(v);
    else if (accessor == "double") jsonDouble(v);
    else if (accessor == "bool") jsonBool(v);
    else if (accessor == "vector") jsonVector(v);
    else if (accessor == "intvector") jsonIntVector(v);
    else if (accessor == "matrix") jsonMatrix(v);
    else if (accessor == "matrixlist") jsonMatrixList(v);
    else jsonComplexMatrixList(v);
}

}  // namespace

TEST(JsonAccessors, RefuseEveryWrongType) {
    const std::pair<const char*, const char*> cases[] = {
        {"int", "1.5"}, {"int", "1e3"}, {"int", "\"3\""}, {"int", "true"}, {"int", "[1]"},
        {"int", "123456789012345678901234567890"}, {"double", "\"2.5\""}, {"double", "null"},
        {"double", "[2]"}, {"double", "1e999"}, {"bool", "1"}, {"bool", "\"true\""},
        {"vector", "[1, \"a\"]"}, {"vector", "{}"}, {"vector", "[[1]]"}, {"vector", "[1, 1e999]"},
        {"intvector", "[1, 2.5]"}, {"matrix", "[[1, 2], [3]]"}, {"matrix", "[]"}, {"matrix", "[[]]"},
        {"matrix", "5"}, {"matrixlist", "[[[1]], 3]"}, {"complexlist", "{\"re\": [[[1]]]}"},
        {"complexlist", "{\"re\": [[[1]]], \"im\": []}"}, {"complexlist", "{\"re\": [[[1, 2]]], \"im\": [[[1]]]}"}};
    for (const auto& c : cases)
        EXPECT_THROW(readValue(c.second, [&](yajl_val v) { readWith(c.first, v); return 0; }), ParseException)
            << c.first << " " << c.second;
    EXPECT_EQ(JsonDocument("{\"a\": [1, 2").root(), nullptr);
    EXPECT_THROW(jsonGet(nullptr, "a"), ParseException);
}

// Model documents are six levels deep; deeper ones are refused before yajl
// builds (and recursively frees) a tree.
TEST(JsonAccessors, NestingLimitIsSixtyFourLevels) {
    auto nested = [](int depth) { return "{\"v\": " + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}"; };
    EXPECT_NE(JsonDocument(nested(64).c_str()).root(), nullptr);
    EXPECT_EQ(JsonDocument(nested(65).c_str()).root(), nullptr);
    // Brackets inside strings and comments do not count; an escaped quote
    // does not end a string, and comment marks inside a string open nothing.
    const std::string brackets(80, '[');
    for (const std::string& quiet : {"\"" + brackets + "\"", "\"\\\"" + brackets + "\"", "/* " + brackets + " */ 1",
                                     "/*" + brackets + "*/ 1", "// " + brackets + "\n 1"})
        EXPECT_NE(JsonDocument(("{\"q\": " + quiet + ", \"v\": " + nested(64).substr(6)).c_str()).root(), nullptr)
            << quiet;
    for (const std::string& open : {"\"/*\"", "\"//\"", "\"\\\\\""})
        EXPECT_EQ(JsonDocument(("{\"q\": " + open + ", \"v\": " + nested(65).substr(6)).c_str()).root(), nullptr)
            << open;
}

// ---------------------------------------------------------------- model documents

namespace {

// A model document as (path, JSON value) pairs; '/' separates nested keys.
struct ModelDoc {
    std::vector<std::pair<std::string, std::string>> entries;

    void set(const std::string& path, const std::string& value) {
        for (auto& e : entries)
            if (e.first == path) return void(e.second = value);
        entries.emplace_back(path, value);
    }
    void erase(const std::string& path) {
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [&](const auto& e) { return (e.first + "/").rfind(path + "/", 0) == 0; }),
                      entries.end());
    }
    // Every member path, objects included, in document order.
    std::vector<std::string> paths() const {
        std::vector<std::string> out;
        for (const auto& e : entries)
            for (std::size_t at = 0; at != std::string::npos;) {
                at = e.first.find('/', at + 1);
                const std::string p = e.first.substr(0, at);
                if (std::find(out.begin(), out.end(), p) == out.end()) out.push_back(p);
            }
        return out;
    }
    std::string text(const std::string& prefix = "") const {
        std::string out = "{";
        std::set<std::string> done;
        for (const auto& e : entries) {
            if (e.first.rfind(prefix, 0) != 0) continue;
            const std::string rest = e.first.substr(prefix.size()), key = rest.substr(0, rest.find('/'));
            if (!done.insert(key).second) continue;
            out += (out.size() > 1 ? ",\"" : "\"") + key + "\":" + (key == rest ? e.second : text(prefix + key + "/"));
        }
        return out + "}";
    }
};

std::string list(int n, const std::function<std::string(int)>& item) {
    std::string out = "[";
    for (int i = 0; i < n; ++i) out += (i ? "," : "") + item(i);
    return out + "]";
}

// Two driver positions, two frequencies, `prototypes` measured columns on `phi`.
void addSection(ModelDoc& doc, const std::string& s, const std::vector<double>& phi, int prototypes) {
    const int angles = static_cast<int>(phi.size());
    auto matrices = [&](double scale) {
        return list(2, [&](int k) {
            return list(angles, [&](int r) { return list(prototypes, [&](int c) { return std::to_string(scale * (100 * k + 10 * r + c)); }); });
        });
    };
    doc.set(s + "/Nboxes", "1");
    doc.set(s + "/yshift", "0.5");
    doc.set(s + "/beta", "[1.05]");
    doc.set(s + "/phi", list(angles, [&](int i) { return std::to_string(phi[i]); }));
    doc.set(s + "/driverpos", "[-0.05, 0.05]");
    doc.set(s + "/f", "[100, 1000]");
    doc.set(s + "/ChDacAmp", "[14, 14]");
    doc.set(s + "/driver_delay", list(angles, [](int r) { return "[" + std::to_string(1e-5 * r) + ", 0]"; }));
    doc.set(s + "/H/re", matrices(1.0));
    doc.set(s + "/H/im", matrices(-0.5));
    doc.set(s + "/Hdacamp/H", "[[14, 13], [14, 13]]");
    doc.set(s + "/Hdacamp/delay", "[2e-5, 2e-5]");
    doc.set(s + "/Hdacamp/Vclip", "[17, 18]");
    doc.set(s + "/Hdacamp/Nch", "2");
    if (s == "wf") doc.set("wf/rolloff_sosa", "[[1, 0, 0, 1, 400, 80000]]");
    doc.set(s + "/itpars", "[15, 2]");
    doc.set(s + "/chp", prototypes == 1 ? "[1, -1]" : "[1, 2]");
}

ModelDoc twoWayDoc(bool packed) {
    ModelDoc doc;
    for (const auto& [k, v] : std::vector<std::pair<const char*, const char*>>{
             {"flo", "90"}, {"f_flatten", "16000"}, {"rolloff_order", "2"}, {"twoway", "true"},
             {"f_timbre", "[250, 2000, 16000, 20000]"}, {"dB_timbre", "[1, 0, -1.5]"}, {"arraytype", "2"},
             {"ispacked", packed ? "true" : "false"}, {"fx", "2000"}, {"iir_xover_order", "4"}, {"bwx", "1"}})
        doc.set(k, v);
    const std::vector<double> phi = packed ? std::vector<double>{-90, -30, 0, 30, 90} : std::vector<double>{-10, 0, 10};
    addSection(doc, "tw", phi, packed ? 1 : 2);
    addSection(doc, "wf", phi, packed ? 1 : 2);
    return doc;
}

ModelData build(const ModelDoc& doc) { return ModelData(doc.text().c_str()); }

}  // namespace

TEST(ModelData, ReadsTwoWayAndOneWayDocuments) {
    ModelDoc doc = twoWayDoc(false);
    doc.set("wf/chp", "\"not read when unpacked\"");
    doc.set("wf/rolloff_sosa", "[1, 0, 0, 1, 400, 80000]");  // one section written as a column
    const ModelData m = build(doc);
    EXPECT_EQ(m.flo, 90.0);
    EXPECT_EQ(m.f_timbre, Eigen::Vector3d(250, 2000, 16000));  // the first three values
    EXPECT_EQ(m.dB_timbre, Eigen::Vector3d(1, 0, -1.5));
    EXPECT_EQ(m.arraytype, 2);
    EXPECT_EQ(m.fx, 2000.0);
    EXPECT_EQ(m.iir_xover_order, 4);
    const WfData& wf = *m.wf;
    EXPECT_EQ(wf.phi, Eigen::Vector3d(-10, 0, 10));
    EXPECT_EQ(wf.H.at(1)(2, 1), Complex(121, -60.5));  // frequency 1, angle 2, driver 1
    EXPECT_EQ(wf.Hdacamp.Vclip, Eigen::Vector2d(17, 18));
    EXPECT_EQ(wf.rolloff_sosa, (Matrix(1, 6) << 1, 0, 0, 1, 400, 80000).finished());
    EXPECT_EQ(wf.chp.size(), 0);

    doc.set("twoway", "false");
    for (const char* key : {"fx", "iir_xover_order", "bwx", "tw"}) doc.erase(key);
    const ModelData one = build(doc);
    EXPECT_EQ(one.tw, nullptr);
    EXPECT_EQ(one.fx, 0.0);
}

TEST(ModelData, EveryMissingKeyIsAParseError) {
    const ModelDoc full = twoWayDoc(true);
    for (const std::string& path : full.paths()) {
        ModelDoc doc = full;
        doc.erase(path);
        EXPECT_EQ(errorOf([&] { build(doc); }), "Error parsing JSON.") << path;
    }
}

TEST(ModelData, RefusesShapesTheComputationsCannotIndex) {
    const struct {
        bool packed;
        std::vector<std::pair<const char*, const char*>> changes;
    } cases[] = {
        {false, {{"twoway", "1"}}}, {false, {{"arraytype", "0"}}}, {false, {{"arraytype", "11"}}},
        {false, {{"wf/Nboxes", "0"}}}, {false, {{"f_timbre", "[100, 1000]"}}},
        {false, {{"wf/f", "[100, 1000, 2000]"}, {"wf/Hdacamp/H", "[[1, 1, 1], [1, 1, 1]]"}}},
        {false, {{"tw/phi", "[-10, 0, 5, 10]"}, {"tw/driver_delay", "[[0, 0], [0, 0], [0, 0], [0, 0]]"}}},
        {false, {{"wf/driverpos", "[-0.1, 0, 0.1]"}, {"wf/driver_delay", "[[0, 0, 0], [0, 0, 0], [0, 0, 0]]"}}},
        {false, {{"wf/driverpos", "[]"}}}, {false, {{"wf/phi", "[-10, 10, 0]"}}},
        {false, {{"wf/phi", "[-10, 0, 0]"}}}, {false, {{"tw/phi", "[-10, -10, 10]"}}},  // a repeated angle
        {true, {{"wf/phi", "[-90, -30, 0, 0, 90]"}}},
        {false, {{"wf/driver_delay", "[[0, 0], [0, 0]]"}}}, {false, {{"tw/driver_delay", "[[0], [0], [0]]"}}},
        {false, {{"wf/H/im", "[[[0]], [[0]]]"}}}, {false, {{"wf/Hdacamp/Vclip", "[17]"}}},
        {false, {{"tw/Hdacamp/H", "[[14], [14]]"}}}, {false, {{"wf/beta", "[]"}}},
        {false, {{"wf/beta", "[1.01, 1.02]"}}}, {false, {{"tw/itpars", "[]"}}},
        {false, {{"tw/itpars", "[1000.5]"}}},  // more iterations than could ever finish
        {false, {{"wf/rolloff_sosa", "[[1, 0, 0, 1, 400]]"}}}, {false, {{"wf/Nboxes", "2"}}},
        {true, {{"wf/phi", "[-100, -30, 0, 30, 90]"}}},
        {true, {{"wf/phi", "[0]"}, {"wf/driver_delay", "[[0, 0]]"}, {"wf/H/re", "[[[1]], [[2]]]"}, {"wf/H/im", "[[[1]], [[2]]]"}}},
        {true, {{"wf/chp", "[1, 0]"}}}, {true, {{"tw/chp", "[1, -2]"}}}, {true, {{"wf/chp", "[1]"}}}};
    for (const auto& c : cases) {
        ModelDoc doc = twoWayDoc(c.packed);
        for (const auto& [path, value] : c.changes) doc.set(path, value);
        EXPECT_THROW(build(doc), ParseException) << c.changes[0].first << " = " << c.changes[0].second;
    }
    ModelDoc limit = twoWayDoc(false);
    limit.set("tw/itpars", "[1000]");
    EXPECT_NO_THROW(build(limit));
}

// ---------------------------------------------------------------- driver sections

TEST(DriverData, BandWeightIsARaisedCosineBetweenTheBandEdges) {
    const double f1 = 1000 * std::pow(2.0, -0.5), f2 = 1000 * std::pow(2.0, 0.5);
    const Vector f = vec({500, f1, 1000 * std::pow(2.0, -0.25), 1000, f2, 2000});
    const double low[] = {1, 1, (std::cos(kPi / 4) + 1) / 2, 0.5, 0, 0};  // band edges are outside the blend
    for (int i = 0; i < f.size(); ++i) {
        EXPECT_NEAR(bandWeight(f, 1000, 1, false)[i], low[i], 1e-12) << f[i];
        EXPECT_NEAR(bandWeight(f, 1000, 1, true)[i], 1 - low[i], 1e-12) << f[i];
    }
}

// The Linkwitz-Riley crossover of order 2n is the Butterworth of order n twice;
// at fx its magnitude is 1/2 and the blend weight 1/2, so the target there is 1.
TEST(DriverData, CrossoverTargetsAndTheKeptBand) {
    for (int order : {4, 8}) {
        WfData wf;
        TwData tw;
        wf.f = tw.f = vec({100, 2000, 20000});
        const Matrix S = wf.designCrossover(2000, 96000, 1, order), B = butterSosLowpass(order / 2, 2000 * 2 / 96000.0);
        EXPECT_EQ(S, (Matrix(2 * B.rows(), 6) << B, B).finished());
        EXPECT_EQ(tw.designCrossover(2000, 96000, 1, order).topRows(order / 4), butterSosHighpass(order / 2, 2000 * 2 / 96000.0));
        EXPECT_NEAR(wf.crossoverTarget[1], 1.0, 1e-9);
        EXPECT_NEAR(tw.crossoverTarget[1], 1.0, 1e-9);
        EXPECT_NEAR(wf.crossoverTarget[0], 1.0, 1e-4);
        EXPECT_EQ(wf.crossoverTarget[2], 0.0);
        EXPECT_EQ(tw.crossoverTarget[0], 0.0);
    }
    for (int order : {2, 6}) {
        WfData wf;
        wf.f = vec({100, 1000});
        EXPECT_EQ(errorOf([&] { wf.designCrossover(2000, 96000, 1, order); }), "unsupported iir xover order in woofer");
        EXPECT_EQ(wf.crossoverTarget.size(), 2);  // filled before the check
    }
    // The woofer keeps exactly the frequencies below the upper band edge.
    WfData wf;
    wf.f = outputFrequencies(librarySettings());
    for (int k = 0; k < wf.f.size(); ++k) wf.H.push_back(CMatrix::Constant(1, 1, Complex(k, 0)));
    const Vector grid = wf.f;
    wf.applyCrossover(1000, 96000, 1, 4);
    int kept = 0;
    while (grid[kept] < 1000 * std::sqrt(2.0)) ++kept;
    ASSERT_EQ(wf.f, grid.head(kept));
    for (int i = 0; i < kept; ++i) EXPECT_EQ(wf.H.at(i)(0, 0), Complex(i, 0));
}

TEST(DriverData, PackingResamplesOnTheFineGridAndMirrorsByChp) {
    WfData d;
    d.phi = vec({-90, -45, 0, 45, 90});
    d.driverpos = vec({-0.1, 0.1});
    d.f = vec({500, 5000});
    d.driver_delay = Matrix::Zero(5, 2);
    d.driver_delay.col(0) << 5e-5, 6e-5, 7e-5, 8e-5, 9e-5;
    for (int k = 0; k < 2; ++k) {
        CMatrix h(5, 1);
        for (int r = 0; r < 5; ++r) h(r, 0) = std::polar(1.0 + 0.2 * r + k, 0.1 * r);
        d.H.push_back(h);
    }
    const CMatrix measured = d.H[0];
    for (const IVector& chp : {(IVector(2) << 1, 0).finished(), (IVector(2) << 1, 2).finished(),
                               (IVector(2) << -2, 1).finished(), (IVector(1) << 1).finished()}) {
        WfData bad = d;
        bad.chp = chp;
        EXPECT_THROW(bad.pack(), ParseException) << chp.transpose();
    }
    d.chp = (IVector(2) << 1, -1).finished();
    d.pack();
    ASSERT_EQ(d.phi.size(), 721);
    EXPECT_NEAR(d.phi[0], -kPi / 2, 1e-15);
    EXPECT_NEAR(d.phi[540], kPi / 4, 1e-15);
    for (int k = 0; k < 721; ++k) EXPECT_EQ(d.transfer(1, k, 1), d.transfer(1, 720 - k, 0));
    // Measured angles are kept: 0 degrees is row 360, 45 degrees row 540.
    EXPECT_NEAR(std::abs(d.transfer(0, 360, 0) - measured(2, 0)), 0.0, 1e-12);
    EXPECT_NEAR(std::abs(d.transfer(0, 540, 1) - measured(1, 0)), 0.0, 1e-12);
    // Between samples: linear in sin(angle), magnitude and phase apart.
    const double s = std::sin(kPi / 12) / std::sin(kPi / 4);  // 15 degrees between 0 and 45
    EXPECT_NEAR(d.driver_delay(420, 0), 7e-5 + 1e-5 * s, 1e-15);
    EXPECT_NEAR(std::abs(d.transfer(0, 420, 0)), 1.4 + 0.2 * s, 1e-12);
    EXPECT_NEAR(std::arg(d.transfer(0, 420, 0)), std::arg(measured(2, 0) + s * (measured(3, 0) - measured(2, 0))), 1e-12);
}

// Enough frequencies for packing to hand half of them to a second thread:
// every frequency comes out as it does on one thread.
TEST(DriverData, PackingOnASecondThreadChangesNoBit) {
    WfData d;
    d.phi = vec({-90, -30, 0, 30, 90});
    d.driverpos = vec({-0.1, 0.1});
    d.f = Vector::LinSpaced(40, 200.0, 8000.0);
    d.driver_delay = Matrix::Zero(5, 2);
    for (int k = 0; k < d.f.size(); ++k) {
        CMatrix h(5, 2);
        for (int r = 0; r < 5; ++r)
            for (int c = 0; c < 2; ++c) h(r, c) = std::polar(1.0 + 0.1 * r + 0.01 * k, 0.3 * r - c + 0.05 * k);
        d.H.push_back(h);
    }
    d.chp = (IVector(2) << 1, -2).finished();
    WfData alone = d;
    setenv("TALVEK_THREADS", "1", 1);
    alone.pack();
    unsetenv("TALVEK_THREADS");
    d.pack();
    ASSERT_EQ(d.H.size(), alone.H.size());
    for (std::size_t k = 0; k < d.H.size(); ++k) EXPECT_EQ(d.H[k], alone.H[k]) << k;
}

// ---------------------------------------------------------------- model cache

TEST(ModelCache, KeepsOneModelAndEmptiesOnAFailedLoad) {
    if (modelDir().empty()) GTEST_SKIP() << "TALVEK_MODEL_DIR not set";
    TempDir dir("talvek-cache");
    std::filesystem::copy_file(std::filesystem::path(modelDir()) / "Vexal8.bin", dir.path() / "Vexal8.bin");
    ScopedCwd cwd(dir.path());
    writeZip("Broken.bin", {{"Broken.json", "{\"flo\": 1,"}});
    const ModelData* first = loadModel("Vexal8");
    ASSERT_NE(first, nullptr);
    std::filesystem::rename("Vexal8.bin", "kept.bin");
    EXPECT_EQ(loadModel("Vexal8"), first);  // served from the cache
    EXPECT_EQ(errorOf([] { loadModel("Broken"); }), "Error parsing JSON.");
    EXPECT_EQ(loadModel(""), nullptr);  // the failed load emptied the cache
    EXPECT_EQ(errorOf([] { loadModel("Vexal8"); }), kOpenError);
}
