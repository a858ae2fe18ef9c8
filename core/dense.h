// Dense vector and matrix types shared by every subsystem: Eigen's dynamic-size,
// column-major types with 32-bit signed sizes (set for the whole build with
// EIGEN_DEFAULT_DENSE_INDEX_TYPE=int).
#pragma once

#include <Eigen/Dense>
#include <array>
#include <complex>
#include <cstddef>
#include <initializer_list>

namespace TalvekLib {

using Complex = std::complex<double>;
using Vector = Eigen::VectorXd;
using CVector = Eigen::VectorXcd;
using IVector = Eigen::VectorXi;
using Matrix = Eigen::MatrixXd;
using CMatrix = Eigen::MatrixXcd;
using IMatrix = Eigen::MatrixXi;

constexpr double kPi = 3.141592653589793;
constexpr double kSpeedOfSound = 343.0;  // m/s

// A matrix written out row by row, for tables in the source.
template <std::size_t W>
Matrix matrixFromRows(std::initializer_list<std::array<double, W>> rows) {
    Matrix m(static_cast<int>(rows.size()), static_cast<int>(W));
    int r = 0;
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < W; ++c) m(r, static_cast<int>(c)) = row[c];
        ++r;
    }
    return m;
}

// Same shape and every element equal (so NaN never matches): the test for
// reusing a result computed from these values.
template <typename A, typename B>
bool sameValues(const A& a, const B& b) {
    return a.rows() == b.rows() && a.cols() == b.cols() && (a.size() == 0 || (a.array() == b.array()).all());
}

}  // namespace TalvekLib
