// libFuzzer target: arbitrary text as the model document, read exactly as the
// loader reads the entry of an archive (a zero-terminated buffer). Refusal by
// any std::exception is an answer; a crash, a sanitizer report, a hang or an
// allocation beyond the fuzzer's limits is a finding.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "model/model_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // The loader hands ModelData the entry's bytes with a zero byte appended;
    // an embedded zero ends the text early, as it does there.
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const TalvekLib::ModelData model(text.c_str());
    } catch (const std::exception&) {
    }
    return 0;
}
