#include "api/export_guard.h"

namespace TalvekLib {

void requireSettings(const char* exportName) {
    if (!libraryState().settingsReady)
        throw CallOrderError(std::string(exportName) + ": call Talvek_MatLabInit first.");
}

void requireModelName(const char* exportName) {
    if (libraryState().modelName.empty())
        throw CallOrderError(std::string(exportName) + ": call Talvek_Setup_Speaker first.");
}

const SpeakerDesign& requireDesign(const char* exportName) {
    const auto& design = libraryState().design;
    if (!design || design->arraytype == 0)
        throw CallOrderError(std::string(exportName) +
                             ": no steering design yet; run Talvek_Optimizer first.");
    return *design;
}

void requirePointer(const void* p, const char* exportName, const char* argument) {
    if (p == nullptr)
        throw CallOrderError(std::string(exportName) + ": " + argument + " is a null pointer.");
}

}  // namespace TalvekLib
