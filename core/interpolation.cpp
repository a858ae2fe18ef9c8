#include "core/interpolation.h"

#include <cmath>
#include <stdexcept>
#include <vector>

namespace TalvekLib {

namespace {

void checkTable(const Vector& x, int tableRows) {
    if (x.size() < 2 || tableRows != x.size())
        throw std::runtime_error("Interp failed, the lookup table needs at least two points and one row per point.");
}

// For each query in turn, the upper end k of the grid interval [x[k-1], x[k]]
// it is evaluated on. The search position only moves forward, which keeps the
// whole call O(n + q) for ascending queries; a smaller query than the one
// before reuses the earlier interval. A NaN query stops the advance at once.
std::vector<int> bracketQueries(const Vector& x, const Vector& xq, bool allowExtrapolation) {
    const int n = x.size();
    std::vector<int> upper(xq.size());
    int k = 0;
    for (int i = 0; i < xq.size(); ++i) {
        const double t = xq[i];
        while (k < n && t > x[k]) ++k;
        // k == 0 means t <= x[0]: the first grid point itself counts as outside.
        if (k == n || k == 0) {
            if (!allowExtrapolation)
                throw std::runtime_error("Interp failed, requested point out of lookup table.");
            upper[i] = (k == n) ? n - 1 : 1;
        } else {
            upper[i] = k;
        }
    }
    return upper;
}

// The one linear lookup behind every routine; Scalar is double or Complex
// (a complex table interpolates its real and imaginary parts on a real axis).
template <typename Scalar>
Eigen::Matrix<Scalar, Eigen::Dynamic, Eigen::Dynamic> interpolateLinear(
    const Vector& x, const Eigen::Matrix<Scalar, Eigen::Dynamic, Eigen::Dynamic>& Y, const Vector& xq,
    bool allowExtrapolation) {
    checkTable(x, Y.rows());
    const std::vector<int> upper = bracketQueries(x, xq, allowExtrapolation);
    Eigen::Matrix<Scalar, Eigen::Dynamic, Eigen::Dynamic> out(xq.size(), Y.cols());
    for (int c = 0; c < Y.cols(); ++c) {
        for (int i = 0; i < xq.size(); ++i) {
            const int k = upper[i];
            const double x0 = x[k - 1];
            const Scalar y0 = Y(k - 1, c);
            const Scalar slope = (Y(k, c) - y0) / (x[k] - x0);
            out(i, c) = y0 + slope * (xq[i] - x0);
        }
    }
    return out;
}

// std::log per entry (not Eigen's vectorised approximation).
Vector naturalLog(const Vector& v) {
    return v.unaryExpr([](double e) { return std::log(e); });
}

}  // namespace

Matrix interpRows(const Vector& x, const Matrix& Y, const Vector& xq, bool allowExtrapolation) {
    return interpolateLinear(x, Y, xq, allowExtrapolation);
}

Matrix interpVector(const Vector& x, const Vector& y, const Vector& xq, bool allowExtrapolation) {
    return interpolateLinear(x, Matrix(y), xq, allowExtrapolation);
}

CMatrix interpRowsComplex(const Vector& x, const CMatrix& Y, const Vector& xq, bool allowExtrapolation) {
    return interpolateLinear(x, Y, xq, allowExtrapolation);
}

Matrix interpRowsAbs(const Vector& x, const CMatrix& Y, const Vector& xq, bool allowExtrapolation) {
    // std::abs of a complex value scales like hypot, so huge or tiny entries survive.
    const Matrix magnitudes = Y.cwiseAbs();
    return interpolateLinear(x, magnitudes, xq, allowExtrapolation);
}

// The magnitude is interpolated on its own so that between two samples of equal
// magnitude the result keeps it instead of dipping; the phase is that of the
// interpolated complex value. Both lookups always extrapolate (every caller
// asks for that), so the flag does not change the result here.
CMatrix interpMagPhase(const Vector& x, const CMatrix& Y, const Vector& xq, bool /*allowExtrapolation*/) {
    const Matrix A = interpRowsAbs(x, Y, xq, true);
    const CMatrix Z = interpRowsComplex(x, Y, xq, true);
    CMatrix out(A.rows(), A.cols());
    for (int c = 0; c < A.cols(); ++c)
        for (int i = 0; i < A.rows(); ++i) {
            const double phase = std::atan2(Z(i, c).imag(), Z(i, c).real());
            out(i, c) = A(i, c) * std::exp(Complex(0.0, phase));
        }
    return out;
}

Matrix interpLogX(const Vector& x, const Vector& y, const Vector& xq, bool allowExtrapolation) {
    // Searching and interpolating on ln x is the same lookup on a transformed axis.
    return interpolateLinear(naturalLog(x), Matrix(y), naturalLog(xq), allowExtrapolation);
}

Matrix dbToAmplitude(const Matrix& levelsDb) {
    return levelsDb.unaryExpr([](double v) { return std::pow(10.0, v / 20.0); });
}

}  // namespace TalvekLib
