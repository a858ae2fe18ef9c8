// The Gram matrix of a section's fit from the structure of its column.
//
// Towards direction j, driver d contributes G(j, d) = h_s(j) exp(j 2 pi f phi_j
// z_d / c) (times a phase common to all drivers): h_s the transfer data of the
// driver's kind s, z_d its position. So
//   A(d, e) = sum_j conj(G(j, d)) G(j, e)
//           = sum_j conj(h_s(d)(j)) h_s(e)(j) exp(j 2 pi f phi_j (z_e - z_d) / c)
// depends on the pair only through the two kinds and the distance between the
// drivers. A column is built of a few kinds of driver at a few spacings: a
// 48-driver column has some 280 distinct entries instead of 1176. Each is
// formed once, as the inner product of one pair of G's columns, and copied to
// every pair alike.
#pragma once

#include <vector>

#include "core/dense.h"

namespace TalvekLib {

class StructuredGram {
public:
    // kindOf[d]: the kind (column of gathered transfer data, with its reading
    // direction) of driver d; position: the drivers, m.
    StructuredGram(const std::vector<int>& kindOf, const Vector& position);

    // False when the drivers share too few pairs for this to pay; the caller
    // then forms G^H G directly.
    bool worthwhile() const { return worthwhile_; }

    // A = G^H G for G = gRe + j gIm, both `rows` x drivers, column-major.
    void compute(int rows, const double* gRe, const double* gIm, CMatrix& A) const;

private:
    struct Pair {
        int d, e;
    };
    int drivers_;
    // Per pair d <= e, row-major upper triangle: the first pair alike, whose
    // inner product stands for both (the pair itself when it is the first).
    std::vector<Pair> sameAs_;
    bool worthwhile_;
};

}  // namespace TalvekLib
