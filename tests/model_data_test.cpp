// Building ModelData from a model document: required keys, the one-way form,
// the accepted shapes, refused shapes, and the generated model archives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/exceptions.h"
#include "core/lib_settings.h"
#include "model/json.h"
#include "model/model_data.h"
#include "model/zip_reader.h"
#include "test_support.h"

using namespace TalvekLib;

namespace {

// A model document as an ordered list of (path, JSON value) pairs; a path names
// nested objects with '/' ("wf/Hdacamp/Vclip").
class ModelDoc {
public:
    void set(const std::string& path, const std::string& value) {
        for (auto& e : entries_) {
            if (e.first == path) {
                e.second = value;
                return;
            }
        }
        entries_.emplace_back(path, value);
    }

    // Removes the member and everything inside it.
    void erase(const std::string& path) {
        entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                      [&](const auto& e) { return e.first == path || e.first.rfind(path + "/", 0) == 0; }),
                       entries_.end());
    }

    // Every member path, objects included, in document order.
    std::vector<std::string> paths() const {
        std::vector<std::string> out;
        for (const auto& e : entries_) {
            for (std::size_t at = e.first.find('/'); at != std::string::npos; at = e.first.find('/', at + 1)) {
                out.push_back(e.first.substr(0, at));
            }
            out.push_back(e.first);
        }
        std::vector<std::string> unique;
        for (const auto& p : out)
            if (std::find(unique.begin(), unique.end(), p) == unique.end()) unique.push_back(p);
        return unique;
    }

    std::string text() const { return render(""); }

private:
    std::string render(const std::string& prefix) const {
        std::string out = "{";
        std::vector<std::string> done;
        for (const auto& e : entries_) {
            if (e.first.rfind(prefix, 0) != 0) continue;
            const std::string rest = e.first.substr(prefix.size());
            const std::string key = rest.substr(0, rest.find('/'));
            if (std::find(done.begin(), done.end(), key) != done.end()) continue;
            done.push_back(key);
            if (out.size() > 1) out += ",";
            out += "\"" + key + "\":";
            out += key == rest ? e.second : render(prefix + key + "/");
        }
        return out + "}";
    }

    std::vector<std::pair<std::string, std::string>> entries_;
};

// rows x cols matrix as nested JSON arrays with entries value(r, c).
template <typename Value>
std::string matrixJson(int rows, int cols, Value value) {
    std::string out = "[";
    for (int r = 0; r < rows; ++r) {
        out += r ? ",[" : "[";
        for (int c = 0; c < cols; ++c) out += (c ? "," : "") + std::to_string(value(r, c));
        out += "]";
    }
    return out + "]";
}

std::string matrixListJson(int count, int rows, int cols, double scale) {
    std::string out = "[";
    for (int k = 0; k < count; ++k) {
        out += (k ? "," : "") + matrixJson(rows, cols, [&](int r, int c) { return scale * (100 * k + 10 * r + c); });
    }
    return out + "]";
}

// A section with 2 driver positions, 2 frequencies and `prototypes` measured
// columns on the angles `phi` (degrees).
void addSection(ModelDoc& doc, const std::string& s, const std::vector<double>& phi, int prototypes) {
    const int angles = static_cast<int>(phi.size());
    std::string phiJson = "[";
    for (std::size_t i = 0; i < phi.size(); ++i) phiJson += (i ? "," : "") + std::to_string(phi[i]);
    phiJson += "]";
    doc.set(s + "/Nboxes", "1");
    doc.set(s + "/yshift", "0.5");
    doc.set(s + "/beta", "[1.05]");
    doc.set(s + "/phi", phiJson);
    doc.set(s + "/driverpos", "[-0.05, 0.05]");
    doc.set(s + "/f", "[100, 1000]");
    doc.set(s + "/ChDacAmp", "[14, 14]");
    doc.set(s + "/driver_delay", matrixJson(angles, 2, [](int r, int c) { return 1e-5 * (r + c); }));
    doc.set(s + "/H/re", matrixListJson(2, angles, prototypes, 1.0));
    doc.set(s + "/H/im", matrixListJson(2, angles, prototypes, -0.5));
    doc.set(s + "/Hdacamp/H", "[[14, 13], [14, 13]]");
    doc.set(s + "/Hdacamp/delay", "[2e-5, 2e-5]");
    doc.set(s + "/Hdacamp/Vclip", "[17, 18]");
    doc.set(s + "/Hdacamp/Nch", "2");
    if (s == "wf") doc.set("wf/rolloff_sosa", "[[1, 0, 0, 1, 400, 80000]]");
    doc.set(s + "/itpars", "[15, 2]");
    doc.set(s + "/chp", prototypes == 1 ? "[1, -1]" : "[1, 2]");
}

// A valid two-way document in the key order of the loader.
ModelDoc twoWayDoc(bool packed) {
    ModelDoc doc;
    doc.set("flo", "90");
    doc.set("f_flatten", "16000");
    doc.set("rolloff_order", "2");
    doc.set("twoway", "true");
    doc.set("f_timbre", "[250, 2000, 16000]");
    doc.set("dB_timbre", "[1, 0, -1.5]");
    doc.set("arraytype", "2");
    doc.set("ispacked", packed ? "true" : "false");
    doc.set("fx", "2000");
    doc.set("iir_xover_order", "4");
    doc.set("bwx", "1");
    const std::vector<double> phi = packed ? std::vector<double>{-90, -30, 0, 30, 90} : std::vector<double>{-10, 0, 10};
    addSection(doc, "tw", phi, packed ? 1 : 2);
    addSection(doc, "wf", phi, packed ? 1 : 2);
    return doc;
}

ModelData build(const ModelDoc& doc) { return ModelData(doc.text().c_str()); }

// A test-name-safe form of a description.
std::string identifier(std::string text) {
    for (char& c : text)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return text;
}

}  // namespace

TEST(ModelDataLoad, ReadsEveryFieldOfATwoWayDocument) {
    const ModelData m = build(twoWayDoc(false));
    EXPECT_EQ(m.flo, 90.0);
    EXPECT_EQ(m.f_flatten, 16000.0);
    EXPECT_EQ(m.rolloff_order, 2);
    EXPECT_TRUE(m.twoway);
    EXPECT_EQ(m.f_timbre, Eigen::Vector3d(250, 2000, 16000));
    EXPECT_EQ(m.dB_timbre, Eigen::Vector3d(1, 0, -1.5));
    EXPECT_EQ(m.arraytype, 2);
    EXPECT_FALSE(m.ispacked);
    EXPECT_EQ(m.fx, 2000.0);
    EXPECT_EQ(m.iir_xover_order, 4);
    EXPECT_EQ(m.bwx, 1.0);
    ASSERT_TRUE(m.tw && m.wf);

    const WfData& wf = *m.wf;
    EXPECT_EQ(wf.Nboxes, 1);
    EXPECT_EQ(wf.yshift, 0.5);
    EXPECT_EQ(wf.phi, Eigen::Vector3d(-10, 0, 10));  // degrees: unpacked data are not resampled
    ASSERT_EQ(wf.H.size(), 2u);
    EXPECT_EQ(wf.H[1](2, 1), Complex(121, -60.5));  // frequency 1, angle 2, driver 1
    EXPECT_EQ(wf.driver_delay.rows(), 3);
    EXPECT_EQ(wf.Hdacamp.Vclip, Eigen::Vector2d(17, 18));
    EXPECT_EQ(wf.Hdacamp.Nch, 2);
    EXPECT_EQ(wf.rolloff_sosa.rows(), 1);
    EXPECT_EQ(wf.itpars, Eigen::Vector2d(15, 2));
    EXPECT_EQ(wf.chp.size(), 0);  // "chp" is present but not read for an unpacked model
    EXPECT_EQ(wf.crossoverTarget.size(), 0);
}

TEST(ModelDataLoad, UnpackedModelIgnoresMalformedChp) {
    ModelDoc doc = twoWayDoc(false);
    doc.set("wf/chp", "\"not read\"");
    doc.set("tw/chp", "[0, 99]");
    EXPECT_NO_THROW(build(doc));
}

TEST(ModelDataLoad, OneWayFormNeedsNoTweeterKeys) {
    ModelDoc doc = twoWayDoc(false);
    doc.set("twoway", "false");
    for (const char* key : {"fx", "iir_xover_order", "bwx", "tw"}) doc.erase(key);
    const ModelData m = build(doc);
    EXPECT_EQ(m.tw, nullptr);
    EXPECT_EQ(m.fx, 0.0);
    EXPECT_EQ(m.bwx, 0.0);
    EXPECT_EQ(m.iir_xover_order, 0);
    ASSERT_NE(m.wf, nullptr);
}

TEST(ModelDataLoad, TimbreUsesTheFirstThreeValuesAndNeedsThree) {
    ModelDoc doc = twoWayDoc(false);
    doc.set("f_timbre", "[100, 1000, 10000, 20000]");
    EXPECT_EQ(build(doc).f_timbre, Eigen::Vector3d(100, 1000, 10000));
    doc.set("f_timbre", "[100, 1000]");
    EXPECT_THROW(build(doc), ParseException);
    doc = twoWayDoc(false);
    doc.set("dB_timbre", "0");
    EXPECT_THROW(build(doc), ParseException);
}

TEST(ModelDataLoad, RolloffColumnIsStoredAsOneRow) {
    for (const char* column : {"[[1], [0], [0], [1], [400], [80000]]", "[1, 0, 0, 1, 400, 80000]"}) {
        ModelDoc doc = twoWayDoc(false);
        doc.set("wf/rolloff_sosa", column);
        const ModelData m = build(doc);
        ASSERT_EQ(m.wf->rolloff_sosa.rows(), 1) << column;
        EXPECT_EQ(m.wf->rolloff_sosa, (Matrix(1, 6) << 1, 0, 0, 1, 400, 80000).finished()) << column;
    }
}

// ---------------------------------------------------------------- required keys

class ModelDataMissingKey : public ::testing::TestWithParam<std::string> {};

TEST_P(ModelDataMissingKey, EndsTheBuildWithParseError) {
    ModelDoc doc = twoWayDoc(true);
    doc.erase(GetParam());
    try {
        build(doc);
        FAIL() << "loaded without " << GetParam();
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Error parsing JSON.");
    }
}

INSTANTIATE_TEST_SUITE_P(EveryKey, ModelDataMissingKey, ::testing::ValuesIn(twoWayDoc(true).paths()),
                         [](const auto& info) { return identifier(info.param); });

// ---------------------------------------------------------------- refused values

struct Refused {
    const char* why;
    bool packed;
    std::vector<std::pair<const char*, const char*>> changes;  // path, value
};

void PrintTo(const Refused& r, std::ostream* os) { *os << r.why; }

class ModelDataRefuses : public ::testing::TestWithParam<Refused> {};

// Each case breaks one rule and keeps the rest of the document consistent.
TEST_P(ModelDataRefuses, WithParseError) {
    const Refused& r = GetParam();
    ModelDoc doc = twoWayDoc(r.packed);
    for (const auto& [path, value] : r.changes) doc.set(path, value);
    EXPECT_THROW(build(doc), ParseException) << r.why;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModelDataRefuses,
    ::testing::Values(
        Refused{"twoway must be a boolean", false, {{"twoway", "1"}}},
        Refused{"arraytype below 1", false, {{"arraytype", "0"}}},
        Refused{"arraytype above 10", false, {{"arraytype", "11"}}},
        Refused{"no boxes", false, {{"wf/Nboxes", "0"}}},
        Refused{"one H matrix per frequency", false,
                {{"wf/f", "[100, 1000, 2000]"}, {"wf/Hdacamp/H", "[[1, 1, 1], [1, 1, 1]]"}}},
        Refused{"H rows = angles", false,
                {{"tw/phi", "[-10, 0, 5, 10]"}, {"tw/driver_delay", "[[0, 0], [0, 0], [0, 0], [0, 0]]"}}},
        Refused{"unpacked H columns = driver positions", false,
                {{"wf/driverpos", "[-0.1, 0, 0.1]"}, {"wf/driver_delay", "[[0, 0, 0], [0, 0, 0], [0, 0, 0]]"}}},
        Refused{"no driver positions", false, {{"wf/driverpos", "[]"}}},
        Refused{"angles ascending", false, {{"wf/phi", "[-10, 10, 0]"}}},
        Refused{"driver_delay rows = angles", false, {{"wf/driver_delay", "[[0, 0], [0, 0]]"}}},
        Refused{"driver_delay columns = driver positions", false, {{"tw/driver_delay", "[[0], [0], [0]]"}}},
        Refused{"re and im shapes", false, {{"wf/H/im", "[[[0]], [[0]]]"}}},
        Refused{"amplifier rows = Vclip", false, {{"wf/Hdacamp/Vclip", "[17]"}}},
        Refused{"amplifier columns = frequencies", false, {{"tw/Hdacamp/H", "[[14], [14]]"}}},
        Refused{"beta empty", false, {{"wf/beta", "[]"}}},
        Refused{"one beta per box", false, {{"wf/beta", "[1.01, 1.02]"}}},
        Refused{"itpars empty", false, {{"tw/itpars", "[]"}}},
        Refused{"rolloff sections have six numbers", false, {{"wf/rolloff_sosa", "[[1, 0, 0, 1, 400]]"}}},
        Refused{"a rolloff row per woofer box", false, {{"wf/Nboxes", "2"}}},
        Refused{"packed angles within +-90", true, {{"wf/phi", "[-100, -30, 0, 30, 90]"}}},
        Refused{"packed needs two angles", true,
                {{"wf/phi", "[0]"}, {"wf/driver_delay", "[[0, 0]]"}, {"wf/H/re", "[[[1]], [[2]]]"},
                 {"wf/H/im", "[[[1]], [[2]]]"}}},
        Refused{"chp entry 0", true, {{"wf/chp", "[1, 0]"}}},
        Refused{"chp beyond the prototypes", true, {{"tw/chp", "[1, -2]"}}},
        Refused{"chp shorter than driverpos", true, {{"wf/chp", "[1]"}}}),
    [](const auto& info) { return identifier(info.param.why); });

// ---------------------------------------------------------------- generated archives

namespace {

const char* const kModelNames[] = {"Vexal8",  "Vexal16", "Vexal24", "Vexal32", "Vexal40",
                                   "Vexal48", "Vexal64", "Vexal80", "Vexal56", "Vexal32LS"};

ModelData loadGenerated(int arraytype) {
    const std::string name = kModelNames[arraytype - 1];
    const std::string text = readZipEntry(talvek_test::modelDir() + "/" + name + ".bin", name + ".json");
    return ModelData(text.c_str());
}

// Channels and boxes of one section in the box table of the array type.
struct BoxCount {
    int channels = 0;
    int boxes = 0;
};

BoxCount boxCount(int arraytype, bool tweeter) {
    const Matrix& table = librarySettings().boxLayouts[arraytype - 1];
    BoxCount n;
    const int first = tweeter ? 2 : 0;
    for (int r = 0; r < table.rows(); ++r) {
        if (table(r, first) == 0) continue;
        n.channels += static_cast<int>(table(r, first + 1) - table(r, first)) + 1;
        ++n.boxes;
    }
    return n;
}

void expectSectionShapes(const DriverData& d, BoxCount expected, const Vector& grid) {
    EXPECT_EQ(d.driverpos.size(), expected.channels);
    EXPECT_EQ(d.Nboxes, expected.boxes);
    EXPECT_EQ(d.f, grid);  // bit for bit the output grid
    ASSERT_EQ(d.H.size(), 215u);
    EXPECT_EQ(d.phi.size(), 721);
    EXPECT_EQ(d.H[100].rows(), 721);
    // The measured prototypes, which the driver positions read through chp.
    EXPECT_EQ(d.transferColumns(), d.H[100].cols());
    EXPECT_LE(d.H[100].cols(), expected.channels);
    EXPECT_EQ(d.driver_delay.rows(), 721);
    EXPECT_EQ(d.driver_delay.cols(), expected.channels);
    EXPECT_EQ(d.Hdacamp.Nch, expected.channels);
    EXPECT_EQ(d.Hdacamp.H.rows(), expected.channels);
    EXPECT_TRUE(d.beta.size() == 1 || d.beta.size() == expected.boxes);
    EXPECT_TRUE((d.beta.array() > 1.0).all() && (d.beta.array() < 1.1).all());
}

}  // namespace

class GeneratedModel : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        if (talvek_test::modelDir().empty()) GTEST_SKIP() << "TALVEK_MODEL_DIR not set";
    }
};

// One load per model.
TEST_P(GeneratedModel, FollowsTheBoxTableAndMirrorsByChp) {
    const int type = GetParam();
    const ModelData m = loadGenerated(type);
    EXPECT_EQ(m.arraytype, type);
    EXPECT_TRUE(m.ispacked);
    const Vector grid = outputFrequencies(librarySettings());

    const BoxCount tweeters = boxCount(type, true);
    EXPECT_EQ(m.twoway, tweeters.channels > 0);
    expectSectionShapes(*m.wf, boxCount(type, false), grid);
    EXPECT_EQ(m.wf->rolloff_sosa.rows(), m.wf->Nboxes);
    if (m.twoway) {
        expectSectionShapes(*m.tw, tweeters, grid);
        // The fixed crossover of types 2 and 4 is the squared second-order
        // pair; both orders have an even half, as designCrossover requires.
        EXPECT_EQ(m.iir_xover_order, (type == 2 || type == 4) ? 4 : 8);
    }

    // Drivers mounted the other way up carry each other's data reversed in angle.
    for (const DriverData* d : {static_cast<const DriverData*>(m.wf.get()), static_cast<const DriverData*>(m.tw.get())}) {
        if (d == nullptr) continue;
        for (int i = 0; i < d->chp.size(); ++i) {
            for (int j = 0; j < d->chp.size(); ++j) {
                if (d->chp[j] != -d->chp[i]) continue;
                for (int k : {0, 107, 214})
                    for (int a = 0; a < 721; ++a) ASSERT_EQ(d->transfer(k, a, j), d->transfer(k, 720 - a, i));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllTen, GeneratedModel, ::testing::Range(1, 11));

TEST(GeneratedModels, SomeMountDriversUpsideDownAndOffCentre) {
    if (talvek_test::modelDir().empty()) GTEST_SKIP() << "TALVEK_MODEL_DIR not set";
    int mirrored = 0;
    for (const char* name : kModelNames) {
        // Only the packing list: no need to build the whole record.
        const std::string text = readZipEntry(talvek_test::modelDir() + "/" + name + ".bin", std::string(name) + ".json");
        const JsonDocument doc(text.c_str());
        if ((jsonIntVector(jsonGet(jsonGet(doc.root(), "wf"), "chp")).array() < 0).any()) ++mirrored;
    }
    EXPECT_GE(mirrored, 3);

    // The acoustic centre is off the nominal position, so an upside-down
    // driver differs from an upright one (1 kHz, 30 degrees either side).
    const ModelData m = loadGenerated(2);
    ASSERT_EQ(m.wf->chp[0], 1);
    const CMatrix& H = m.wf->H[104];
    const int up = 360 + 120;
    const int down = 360 - 120;
    EXPECT_GT(std::abs(std::arg(H(up, 0) / H(down, 0))), 1e-3);
}
