// Set-up and read-out exports: initialisation, the self-check, the error text,
// the frequency grid and the choice of model.
#include <cmath>
#include <cstring>
#include <limits>

#include "api/export_guard.h"
#include "api/model_names.h"
#include "core/lib_settings.h"
#include "model/model_cache.h"
#include "selfcheck/initial_check.h"

using namespace TalvekLib;

namespace {

int32_t setupSpeaker(double modelNumber) {
    // Truncation toward zero; values that do not fit an int have no model.
    if (!(std::fabs(modelNumber) < 2147483648.0))
        throw std::runtime_error("Talvek_Setup_Speaker: model number out of range.");
    const int k = static_cast<int>(modelNumber);
    auto& state = libraryState();
    state.modelName = modelNameFor(k);  // kept even when the load below fails
    loadModel(state.modelName);
    return 1;
}

int32_t getFrequencies(int32_t capacity, int32_t* count, double* frequencies) {
    requireSettings("Talvek_Get_Frequencies");
    requirePointer(count, "Talvek_Get_Frequencies", "count");
    const LibSettings& s = librarySettings();
    const int n = outputGridSize(s);
    *count = n;
    if (n > capacity) return -1;  // told by the count; the error text stays as it is
    requirePointer(frequencies, "Talvek_Get_Frequencies", "frequencies");
    const Vector f = outputFrequencies(s);
    std::memcpy(frequencies, f.data(), sizeof(double) * n);
    return 1;
}

int32_t initialCheck() {
    auto& state = libraryState();
    state.errorText.clear();
    state.modelName.clear();
    const std::string missing = firstMissingModelFile();
    if (missing.empty()) return 1;
    state.errorText = "Could not open file " + missing + ".";
    return -1;
}

}  // namespace

extern "C" {

int32_t Talvek_MatLabInit(void) {
    return guardedExport([] { libraryState().settingsReady = true; return 1; }, -2);
}

void Talvek_MatLabClose(void) {}

int32_t Talvek_Initial_Check(void) { return guardedExport(initialCheck); }

int32_t Talvek_Get_Error(char* buffer, int32_t size) {
    const std::string& text = libraryState().errorText;
    if (buffer != nullptr && size > 0) {
        const std::size_t room = static_cast<std::size_t>(size);
        const std::size_t n = std::min(room, text.size());
        std::memcpy(buffer, text.data(), n);
        if (n < room) std::memset(buffer + n, 0, room - n);  // terminated only when it fits
    }
    return static_cast<int32_t>(std::min<std::size_t>(text.size(), std::numeric_limits<int32_t>::max()));
}

int32_t Talvek_Get_Frequencies(int32_t capacity, int32_t* count, double* frequencies) {
    return guardedExport([&] { return getFrequencies(capacity, count, frequencies); });
}

int32_t Talvek_Setup_Speaker(double modelNumber) {
    return guardedExport([&] { return setupSpeaker(modelNumber); });
}

}  // extern "C"
