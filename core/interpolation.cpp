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

// Column c of Y at t, on the interval that ends at grid point k; Scalar
// is double or Complex (a complex table interpolates its real and imaginary
// parts on a real axis). Every routine evaluates its lookups here, so all of
// them round alike.
template <typename Scalar>
Scalar lookup(const Vector& x, const Eigen::Matrix<Scalar, Eigen::Dynamic, Eigen::Dynamic>& Y, int c, int k,
              double t) {
    const double x0 = x[k - 1];
    const Scalar y0 = Y(k - 1, c);
    const Scalar slope = (Y(k, c) - y0) / (x[k] - x0);
    return y0 + slope * (t - x0);
}

// The one linear lookup behind the routines of one table.
template <typename Scalar>
Eigen::Matrix<Scalar, Eigen::Dynamic, Eigen::Dynamic> interpolateLinear(
    const Vector& x, const Eigen::Matrix<Scalar, Eigen::Dynamic, Eigen::Dynamic>& Y, const Vector& xq,
    bool allowExtrapolation) {
    checkTable(x, Y.rows());
    const std::vector<int> upper = bracketQueries(x, xq, allowExtrapolation);
    Eigen::Matrix<Scalar, Eigen::Dynamic, Eigen::Dynamic> out(xq.size(), Y.cols());
    for (int c = 0; c < Y.cols(); ++c) {
        for (int i = 0; i < xq.size(); ++i) out(i, c) = lookup(x, Y, c, upper[i], xq[i]);
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
    return MagPhaseResampler(x, xq)(Y);
}

MagPhaseResampler::MagPhaseResampler(const Vector& x, const Vector& xq)
    : x_(x), xq_(xq), upper_(bracketQueries(x, xq, true)) {}

CMatrix MagPhaseResampler::operator()(const CMatrix& Y) {
    CMatrix out(xq_.size(), Y.cols());
    (*this)(Y, out);
    return out;
}

void MagPhaseResampler::operator()(const CMatrix& Y, CMatrix& out) {
    checkTable(x_, Y.rows());
    // std::abs of a complex value scales like hypot, so huge or tiny entries survive.
    magnitudes_ = Y.cwiseAbs();
    for (int c = 0; c < Y.cols(); ++c)
        for (int i = 0; i < xq_.size(); ++i) {
            const int k = upper_[i];
            const double magnitude = lookup(x_, magnitudes_, c, k, xq_[i]);
            const Complex z = lookup(x_, Y, c, k, xq_[i]);
            const double phase = std::atan2(z.imag(), z.real());
            out(i, c) = magnitude * std::exp(Complex(0.0, phase));
        }
}

Matrix interpLogX(const Vector& x, const Vector& y, const Vector& xq, bool allowExtrapolation) {
    // Searching and interpolating on ln x is the same lookup on a transformed axis.
    return interpolateLinear(naturalLog(x), Matrix(y), naturalLog(xq), allowExtrapolation);
}

Matrix dbToAmplitude(const Matrix& levelsDb) {
    return levelsDb.unaryExpr([](double v) { return std::pow(10.0, v / 20.0); });
}

}  // namespace TalvekLib
