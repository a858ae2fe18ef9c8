// Sums in eight partial sums of the compiler's generic vector type, added in a
// fixed order at the end. Each build maps the type onto its own vector units
// with the same arithmetic, so a sum gives the same bits whichever build of
// a loop (see vector_clones.h) runs it.
#pragma once

#include <cstring>

namespace TalvekLib {

typedef double Lanes __attribute__((vector_size(8 * sizeof(double))));
constexpr int kLanes = 8;

// v = p[0..7], from memory of any alignment. (Written through a reference: a
// vector this wide returned by value would differ in ABI between builds.)
inline __attribute__((always_inline)) void loadLanes(Lanes& v, const double* p) { std::memcpy(&v, p, sizeof v); }

// The eight partial sums added lane 0 first.
inline __attribute__((always_inline)) double sumLanes(const Lanes& acc) {
    double sum = 0.0;
    for (int l = 0; l < kLanes; ++l) sum += acc[l];
    return sum;
}

}  // namespace TalvekLib
