// One-entry cache of the loaded model: asking again for the same name costs
// nothing; another name replaces the record.
#pragma once

#include <string>

#include "model/model_data.h"

namespace TalvekLib {

// Returns the record for `name`, loading "<name>.bin" / "<name>.json" when the
// cache holds another model. The cache is emptied before a load, so a failed
// load leaves it empty. The empty name on an empty cache gives nullptr.
const ModelData* loadModel(const std::string& name);

}  // namespace TalvekLib
