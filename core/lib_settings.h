// The library's constant settings and its reference level curve.
#pragma once

#include <array>

#include "core/dense.h"

namespace TalvekLib {

struct LibSettings {
    double fLow = 50.0;                 // lowest output frequency, Hz
    double fHigh = 24000.0;             // highest output frequency, Hz
    double angleStep = 0.25;            // fine angle grid, degrees
    double octaveFraction = 0.041667;   // output grid spacing, octaves (the literal, not 1/24)
    double sampleRate = 96000.0;        // processor sample rate, Hz
    std::array<Matrix, 10> boxLayouts;  // per array type: rows (first wf, last wf, first tw, last tw), 1-based
    int designGridSize = 216;           // steering-filter design grid points (0 Hz + 215)

    LibSettings();
};

// 33-point reference level curve used for the clip headroom.
struct RefCurve {
    Vector levelDb;
    Vector freqHz;

    RefCurve();
};

// The constants, built once. Internal code reads these; the exports additionally
// require Talvek_MatLabInit to have run before they use them.
const LibSettings& librarySettings();
const RefCurve& referenceCurve();

// Number of points of the output frequency grid (215) and the grid itself.
int outputGridSize(const LibSettings& s);
Vector outputFrequencies(const LibSettings& s);

}  // namespace TalvekLib
