// Start-up check that every bundled model archive can be opened.
#pragma once

#include <string>
#include <vector>

namespace TalvekLib {

// "Vexal8.bin" ... "Vexal56.bin", "Vexal64.bin", "Vexal32LS.bin".
std::vector<std::string> requiredModelFiles();

// Returns the first file that cannot be opened for reading, or "" when all open.
std::string firstMissingModelFile();

}  // namespace TalvekLib
