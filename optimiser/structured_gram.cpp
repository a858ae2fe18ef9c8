#include "optimiser/structured_gram.h"

#include <cmath>
#include <cstddef>
#include <map>
#include <tuple>

#include "core/fixed_lanes.h"
#include "core/vector_clones.h"

namespace TalvekLib {

namespace {

// Distances equal to a nanometre are one: positions read from a file differ
// in their last bits, and a nanometre moves no phase that matters.
long long distanceKey(double metres) { return std::llround(metres * 1e9); }

// re + j im = sum_j conj(aRe + j aIm)(j) (bRe + j bIm)(j), in fixed lanes.
TALVEK_VECTOR_CLONES
void conjugateDot(int n, const double* __restrict aRe, const double* __restrict aIm, const double* __restrict bRe,
                  const double* __restrict bIm, double& re, double& im) {
    Lanes accRe = {}, accIm = {};
    int j = 0;
    for (; j + kLanes <= n; j += kLanes) {
        Lanes ar, ai, br, bi;
        loadLanes(ar, aRe + j);
        loadLanes(ai, aIm + j);
        loadLanes(br, bRe + j);
        loadLanes(bi, bIm + j);
        accRe += ar * br + ai * bi;
        accIm += ar * bi - ai * br;
    }
    for (int l = 0; j < n; ++j, ++l) {
        accRe[l] += aRe[j] * bRe[j] + aIm[j] * bIm[j];
        accIm[l] += aRe[j] * bIm[j] - aIm[j] * bRe[j];
    }
    re = sumLanes(accRe);
    im = sumLanes(accIm);
}

}  // namespace

StructuredGram::StructuredGram(const std::vector<int>& kindOf, const Vector& position)
    : drivers_(static_cast<int>(kindOf.size())) {
    std::map<std::tuple<long long, int, int>, Pair> first;
    sameAs_.reserve(static_cast<std::size_t>(drivers_) * (drivers_ + 1) / 2);
    for (int d = 0; d < drivers_; ++d)
        for (int e = d; e < drivers_; ++e) {
            const auto key = std::make_tuple(distanceKey(position[e] - position[d]), kindOf[d], kindOf[e]);
            sameAs_.push_back(first.emplace(key, Pair{d, e}).first->second);
        }
    // An entry costs as much as a pair of the direct product; sharing must
    // save more than the bookkeeping of copying.
    worthwhile_ = 2 * first.size() < sameAs_.size();
}

void StructuredGram::compute(int rows, const double* gRe, const double* gIm, CMatrix& A) const {
    A.resize(drivers_, drivers_);
    std::size_t k = 0;
    for (int d = 0; d < drivers_; ++d)
        for (int e = d; e < drivers_; ++e, ++k) {
            const Pair& from = sameAs_[k];
            Complex v;
            if (from.d == d && from.e == e) {
                const std::size_t a = static_cast<std::size_t>(d) * rows, b = static_cast<std::size_t>(e) * rows;
                double re, im;
                conjugateDot(rows, gRe + a, gIm + a, gRe + b, gIm + b, re, im);
                v = Complex(re, im);
            } else {
                v = A(from.d, from.e);  // its pair comes first in this order, so it is formed already
            }
            A(d, e) = v;
            A(e, d) = std::conj(v);
        }
}

}  // namespace TalvekLib
