// Checks of SFIO records handed in by the host before the library reads them.
#pragma once

#include "include/talvek.h"
#include "model/model_data.h"

namespace TalvekLib {

// Counts non-negative and pointers present for every array the counts promise.
// Throws std::runtime_error naming the faulty field.
void checkRecordStructure(const SFIO& record);

// Channel counts and frequency counts that the loaded model can be designed
// from, and finite values. Throws std::runtime_error.
void checkRecordFitsModel(const SFIO& record, const ModelData& model);

}  // namespace TalvekLib
