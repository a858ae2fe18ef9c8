// Dense vector and matrix types shared by every subsystem: Eigen's dynamic-size,
// column-major types with 32-bit signed sizes (set for the whole build with
// EIGEN_DEFAULT_DENSE_INDEX_TYPE=int).
#pragma once

#include <Eigen/Dense>
#include <complex>

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

}  // namespace TalvekLib
