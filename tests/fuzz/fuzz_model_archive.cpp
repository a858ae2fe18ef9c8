// libFuzzer target: arbitrary bytes as a model archive, loaded through the
// model cache exactly as Talvek_Setup_Speaker does. Refusal by any
// std::exception is an answer; a crash, a sanitizer report, a hang or an
// allocation beyond the fuzzer's limits is a finding.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "model/model_cache.h"

namespace {

// The archive is read by file name relative to the working directory, so each
// fuzzing process works in a private folder of its own.
const char* const kModelName = "model";
std::string privateFolder;

void removePrivateFolder() {
    std::remove("model.bin");
    rmdir(privateFolder.c_str());
}

void enterPrivateFolder() {
    const char* tmp = std::getenv("TMPDIR");
    privateFolder = std::string(tmp != nullptr ? tmp : "/tmp") + "/talvek-fuzz-XXXXXX";
    if (mkdtemp(privateFolder.data()) == nullptr || chdir(privateFolder.c_str()) != 0) {
        std::perror("talvek fuzz: no private folder");
        std::abort();
    }
    std::atexit(removePrivateFolder);
}

bool writeArchive(const uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen("model.bin", "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enterPrivateFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (!writeArchive(data, size)) std::abort();
    try {
        TalvekLib::loadModel(kModelName);
    } catch (const std::exception&) {
    }
    // Another name empties the cache (its archive does not exist), so the next
    // input is read from the file again.
    try {
        TalvekLib::loadModel("absent");
    } catch (const std::exception&) {
    }
    return 0;
}
