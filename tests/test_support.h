// Builders shared by the unit tests: folders, zip archives, venue tables, the
// library's error text and a host session on the generated models.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>
#include <zip.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "include/talvek.h"

namespace talvek_test {

// Folder of the generated model archives (set by CTest), or "" when unknown.
inline std::string modelDir() {
    const char* dir = std::getenv("TALVEK_MODEL_DIR");
    return dir ? dir : "";
}

// Changes the working directory for the life of the object.
class ScopedCwd {
public:
    explicit ScopedCwd(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~ScopedCwd() { std::filesystem::current_path(old_); }
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

private:
    std::filesystem::path old_;
};

// A fresh folder under the system's temporary folder, removed afterwards;
// process id and counter keep parallel test processes apart.
class TempDir {
public:
    explicit TempDir(const std::string& tag) {
        static int counter = 0;
        path_ = std::filesystem::temp_directory_path() /
                (tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The message of what `f` throws, "" when it returns.
inline std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

inline std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
inline void writeFile(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

struct ZipEntry {
    std::string name, content;
    bool deflate = true;
};

// Writes a zip archive with libzip (which frees its copy of each buffer).
inline void writeZip(const std::filesystem::path& path, const std::vector<ZipEntry>& entries) {
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(archive, nullptr);
    for (const ZipEntry& e : entries) {
        void* copy = std::malloc(e.content.size() + 1);
        std::memcpy(copy, e.content.data(), e.content.size());
        zip_source_t* source = zip_source_buffer(archive, copy, e.content.size(), 1);
        const zip_int64_t index = zip_file_add(archive, e.name.c_str(), source, ZIP_FL_ENC_UTF_8);
        ASSERT_GE(index, 0);
        zip_set_file_compression(archive, index, e.deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0);
    }
    ASSERT_EQ(zip_close(archive), 0);
}

// Rewrites the uncompressed size that the local header (offset 22) and the
// central directory (offset 24) declare for an archive's only entry.
inline void declareUncompressedSize(const std::filesystem::path& path, std::uint32_t size) {
    std::string bytes = readFile(path);
    for (std::size_t at : {bytes.find("PK\x03\x04") + 22, bytes.find("PK\x01\x02") + 24})
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((size >> (8 * i)) & 0xff);
    writeFile(path, bytes);
}

// The library's current error text.
inline std::string errorText() {
    const int n = Talvek_Get_Error(nullptr, 0);
    std::string text(static_cast<std::size_t>(n), '\0');
    Talvek_Get_Error(text.data(), n);
    return text;
}

// Frees what Talvek_Get_SFIO copied into a host record. The tests link the
// library statically, so its malloc is theirs.
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
        const double v[7] = {rows[r].x1, rows[r].x2, rows[r].z1, rows[r].z2, rows[r].level1, rows[r].level2, rows[r].active};
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

// Working directory = the generated models folder, the library initialised.
// Skips the test when the models are not at hand.
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
