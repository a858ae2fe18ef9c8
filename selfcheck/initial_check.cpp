#include "selfcheck/initial_check.h"

#include <cstdio>

namespace TalvekLib {

std::vector<std::string> requiredModelFiles() {
    std::vector<std::string> names;
    for (int n = 8; n < 64; n += 8) names.push_back("Vexal" + std::to_string(n) + ".bin");
    names.push_back("Vexal64.bin");
    names.push_back("Vexal32LS.bin");
    return names;
}

std::string firstMissingModelFile() {
    for (const auto& name : requiredModelFiles()) {
        // Opening is the test: a file that exists but cannot be read counts as missing.
        std::FILE* file = std::fopen(name.c_str(), "r");
        if (file == nullptr) return name;
        std::fclose(file);
    }
    return {};
}

}  // namespace TalvekLib
