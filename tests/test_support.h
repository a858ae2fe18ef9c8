// Small helpers shared by the unit tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

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

// A fresh, empty folder under the system's temporary folder, removed afterwards.
class TempDir {
public:
    explicit TempDir(const std::string& tag) {
        // Process id and a per-process counter: unique across parallel test processes.
        path_ = std::filesystem::temp_directory_path() /
                (tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    static int& counter() {
        static int n = 0;
        return n;
    }
    std::filesystem::path path_;
};

}  // namespace talvek_test
