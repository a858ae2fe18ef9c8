#include "core/lib_settings.h"

#include <cmath>

namespace TalvekLib {

namespace {

Matrix boxTable(std::initializer_list<std::array<double, 4>> rows) { return matrixFromRows<4>(rows); }

}  // namespace

LibSettings::LibSettings() {
    const Matrix sixBoxes = boxTable(
        {{1, 8, 0, 0}, {9, 16, 0, 0}, {17, 24, 1, 8}, {25, 32, 9, 16}, {33, 40, 0, 0}, {41, 48, 0, 0}});
    boxLayouts = {
        boxTable({{1, 8, 0, 0}}),
        boxTable({{1, 8, 1, 8}}),
        boxTable({{1, 8, 0, 0}, {9, 16, 1, 8}}),
        boxTable({{1, 8, 1, 8}, {9, 16, 9, 16}}),
        boxTable({{1, 8, 0, 0}, {9, 16, 1, 8}, {17, 24, 9, 16}}),
        boxTable({{1, 8, 0, 0}, {9, 16, 1, 8}, {17, 24, 9, 16}, {25, 32, 0, 0}}),
        sixBoxes,
        sixBoxes,
        boxTable({{1, 8, 0, 0}, {9, 16, 0, 0}, {17, 24, 1, 8}, {25, 32, 9, 16}, {33, 40, 0, 0}}),
        boxTable({{1, 8, 0, 0}, {9, 16, 1, 8}, {17, 24, 0, 0}}),
    };
}

RefCurve::RefCurve() : levelDb(33), freqHz(33) {
    levelDb << -25.0, -13.5, -10.2, -7.4, -5.2, -3.5, -2.3, -1.4, -0.9, -0.5, -0.2, -0.1,
        -3.5527136788e-15, 0.0, -3.5527136788e-15, -3.5527136788e-15, 0.0, -3.5527136788e-15, -0.1,
        -0.3, -0.6, -1.0, -1.6, -2.5, -3.7, -5.1, -7.0, -9.4, -11.9, -14.8, -18.2, -21.6,
        -27.778002275;
    freqHz << 10, 20, 25, 31.5, 40, 50, 63, 80, 100, 125, 160, 200, 250, 315, 400, 500, 630, 800,
        1000, 1250, 1600, 2000, 2500, 3150, 4000, 5000, 6300, 8000, 10000, 12500, 16000, 20000, 30000;
}

const LibSettings& librarySettings() {
    static const LibSettings settings;
    return settings;
}

const RefCurve& referenceCurve() {
    static const RefCurve curve;
    return curve;
}

int outputGridSize(const LibSettings& s) {
    // Rounds half up; the quotient is positive.
    return static_cast<int>(std::log(s.fHigh / s.fLow) / (std::log(2.0) * s.octaveFraction) + 0.5) + 1;
}

Vector outputFrequencies(const LibSettings& s) {
    const int n = outputGridSize(s);
    Vector f(n);
    for (int i = 0; i < n; ++i) {
        f[i] = s.fLow * std::pow(s.fHigh / s.fLow, static_cast<double>(i) / (n - 1));
    }
    return f;
}

}  // namespace TalvekLib
