#include "optimiser/structured_gram.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <map>
#include <tuple>

#include "core/vector_clones.h"

namespace TalvekLib {

namespace {

// Distances equal to a nanometre are one: positions read from a file differ
// in their last bits, and a nanometre moves no phase that matters.
long long distanceKey(double metres) { return std::llround(metres * 1e9); }

// re + j im = sum_j conj(aRe + j aIm)(j) (bRe + j bIm)(j), in eight partial
// sums added in a fixed order at the end. The partial sums are one vector of
// the compiler's generic vector type, which each build maps onto its own
// vector units with the same arithmetic: every build gives the same bits.
typedef double Lanes __attribute__((vector_size(8 * sizeof(double))));
constexpr int kLanes = 8;

TALVEK_VECTOR_CLONES
void conjugateDot(int n, const double* __restrict aRe, const double* __restrict aIm, const double* __restrict bRe,
                  const double* __restrict bIm, double& re, double& im) {
    Lanes accRe = {}, accIm = {};
    int j = 0;
    for (; j + kLanes <= n; j += kLanes) {
        Lanes ar, ai, br, bi;
        std::memcpy(&ar, aRe + j, sizeof ar);
        std::memcpy(&ai, aIm + j, sizeof ai);
        std::memcpy(&br, bRe + j, sizeof br);
        std::memcpy(&bi, bIm + j, sizeof bi);
        accRe += ar * br + ai * bi;
        accIm += ar * bi - ai * br;
    }
    for (int l = 0; j < n; ++j, ++l) {
        accRe[l] += aRe[j] * bRe[j] + aIm[j] * bIm[j];
        accIm[l] += aRe[j] * bIm[j] - aIm[j] * bRe[j];
    }
    re = im = 0.0;
    for (int l = 0; l < kLanes; ++l) {
        re += accRe[l];
        im += accIm[l];
    }
}

}  // namespace

StructuredGram::StructuredGram(const std::vector<int>& kindOf, const Vector& position)
    : drivers_(static_cast<int>(kindOf.size())) {
    std::map<std::tuple<long long, int, int>, int> entryIndex;
    entryOf_.reserve(static_cast<std::size_t>(drivers_) * (drivers_ + 1) / 2);
    for (int d = 0; d < drivers_; ++d)
        for (int e = d; e < drivers_; ++e) {
            const auto key = std::make_tuple(distanceKey(position[e] - position[d]), kindOf[d], kindOf[e]);
            const auto [at, added] = entryIndex.emplace(key, static_cast<int>(entries_.size()));
            if (added) entries_.push_back({d, e});
            entryOf_.push_back(at->second);
        }
    values_.resize(entries_.size());
    // An entry costs as much as a pair of the direct product; sharing must
    // save more than the bookkeeping of copying.
    worthwhile_ = 2 * entries_.size() < entryOf_.size();
}

void StructuredGram::compute(int rows, const double* gRe, const double* gIm, CMatrix& A) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const std::size_t d = static_cast<std::size_t>(entries_[i].d) * rows;
        const std::size_t e = static_cast<std::size_t>(entries_[i].e) * rows;
        double re, im;
        conjugateDot(rows, gRe + d, gIm + d, gRe + e, gIm + e, re, im);
        values_[i] = Complex(re, im);
    }
    A.resize(drivers_, drivers_);
    std::size_t k = 0;
    for (int d = 0; d < drivers_; ++d)
        for (int e = d; e < drivers_; ++e, ++k) {
            const Complex v = values_[entryOf_[k]];
            A(d, e) = v;
            A(e, d) = std::conj(v);
        }
}

}  // namespace TalvekLib
