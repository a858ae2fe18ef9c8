// Model number to model name, as Talvek_Setup_Speaker chooses it.
#pragma once

#include <string>

namespace TalvekLib {

// 7 Vexal64, 8 Vexal80, 9 Vexal56, 10 Vexal32LS; any other k "Vexal" + 8k.
std::string modelNameFor(int k);

}  // namespace TalvekLib
