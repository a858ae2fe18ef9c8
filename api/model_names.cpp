#include "api/model_names.h"

namespace TalvekLib {

std::string modelNameFor(int k) {
    // The large columns have names of their own; the others are named after
    // their channel count 8k (a negative k gives a leading minus sign).
    switch (k) {
        case 7: return "Vexal64";
        case 8: return "Vexal80";
        case 9: return "Vexal56";
        case 10: return "Vexal32LS";
        default: return "Vexal" + std::to_string(8LL * k);
    }
}

}  // namespace TalvekLib
