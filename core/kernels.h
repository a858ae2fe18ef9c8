// Small index-driven helpers: gather, scatter, concatenate, find.
#pragma once

#include <vector>

#include "core/dense.h"

namespace TalvekLib {

// Rows I[i] of A, in order.
template <typename MatrixT>
MatrixT gatherRows(const MatrixT& A, const IVector& I) {
    MatrixT out(I.size(), A.cols());
    for (int i = 0; i < I.size(); ++i) out.row(i) = A.row(I[i]);
    return out;
}

// Columns I[i] of A, in order.
template <typename MatrixT>
MatrixT gatherColumns(const MatrixT& A, const IVector& I) {
    MatrixT out(A.rows(), I.size());
    for (int i = 0; i < I.size(); ++i) out.col(i) = A.col(I[i]);
    return out;
}

// v[I[i]], in order.
template <typename VectorT>
VectorT gatherElements(const VectorT& v, const IVector& I) {
    VectorT out(I.size());
    for (int i = 0; i < I.size(); ++i) out[i] = v[I[i]];
    return out;
}

// The vectors one after another.
template <typename VectorT>
VectorT concatVectors(const std::vector<VectorT>& parts) {
    Eigen::Index total = 0;
    for (const auto& p : parts) total += p.size();
    VectorT out(total);
    Eigen::Index at = 0;
    for (const auto& p : parts) {
        out.segment(at, p.size()) = p;
        at += p.size();
    }
    return out;
}

// [B A].
template <typename MatrixT>
MatrixT concatColumns(const MatrixT& B, const MatrixT& A) {
    MatrixT out(B.rows(), B.cols() + A.cols());
    out << B, A;
    return out;
}

// Ascending indices i with pred(v[i]).
template <typename VectorT, typename Predicate>
IVector findIndices(const VectorT& v, Predicate pred) {
    std::vector<int> found;
    for (int i = 0; i < v.size(); ++i)
        if (pred(v[i])) found.push_back(i);
    return Eigen::Map<const IVector>(found.data(), static_cast<int>(found.size()));
}

// Length-L vector of `fill` with element I[k] set to x[k].
template <typename VectorT>
VectorT scatterInto(int L, typename VectorT::Scalar fill, const IVector& I, const VectorT& x) {
    VectorT out = VectorT::Constant(L, fill);
    for (int k = 0; k < I.size(); ++k) out[I[k]] = x[k];
    return out;
}

inline IVector addConstant(const IVector& v, int k) { return (v.array() + k).matrix(); }

}  // namespace TalvekLib
