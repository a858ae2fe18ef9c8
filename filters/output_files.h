// The processor files: one filter-set file per box and one response file.
#pragma once

#include <string>

#include "core/lib_settings.h"
#include "filters/speaker_design.h"

namespace TalvekLib {

// Writes base + "_box<k>.bef" for every box of the design's array type.
// Throws std::runtime_error naming the file when one cannot be created.
void writeFilterSetFiles(const std::string& base, const SpeakerDesign& design, const LibSettings& s);

// Writes base + "_SFR.bin": the steering-filter responses on the 241-point
// grid from 20 Hz to 20 kHz.
void writeResponseFile(const std::string& base, const SpeakerDesign& design, const LibSettings& s);

// The 241-point logarithmic response grid.
Vector responseFileGrid();

}  // namespace TalvekLib
