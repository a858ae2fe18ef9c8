#include "filters/butterworth.h"

#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace TalvekLib {

namespace {

constexpr int kMaxOrder = 16;           // the design holds at most 16 poles
constexpr double kDesignRate = 96000.0;  // Hz; the cut-off is taken relative to it

// One second-order section under construction: a pair of poles and zeros, or
// a single real pole and zero (the odd section of an odd order).
struct RootPair {
    Complex pole1, pole2, zero1, zero2;
    bool single;
};

const Complex kInfinity(std::numeric_limits<double>::infinity(), 0.0);

bool isInfinite(Complex c) { return std::isinf(c.real()) || std::isinf(c.imag()); }

// Analog Butterworth prototype at 1 rad/s: conjugate pole pairs on the left
// half of the unit circle, then the real pole -1 for odd orders; every zero
// lies at infinity.
std::vector<RootPair> analogPrototype(int order) {
    std::vector<RootPair> pairs;
    for (int i = 0; i < order / 2; ++i) {
        const double theta = ((2 * i + 1) * kPi) / (2 * order) + kPi / 2;
        const Complex p(std::cos(theta), std::sin(theta));
        pairs.push_back({p, std::conj(p), kInfinity, kInfinity, false});
    }
    if (order % 2 == 1) pairs.push_back({Complex(-1.0, 0.0), Complex(), kInfinity, Complex(), true});
    return pairs;
}

// Warps by k and maps s to z by the bilinear transform. The high-pass also
// swaps the roles of 0 and infinity, which the sign flip and the finite
// image +1 of an infinite root take care of.
Complex toDigital(Complex c, double k, bool highpass) {
    if (isInfinite(c)) return Complex(highpass ? 1.0 : -1.0, 0.0);
    const Complex warped = k * c;
    const Complex mapped = (1.0 + warped) / (1.0 - warped);
    return highpass ? -mapped : mapped;
}

// [1 c1 c2] of the quadratic in z^-1 with roots r1, r2 (conjugates or both real).
std::array<double, 3> quadratic(Complex r1, Complex r2) {
    if (r1.imag() != 0.0) return {1.0, -2.0 * r1.real(), std::norm(r1)};
    return {1.0, -(r1.real() + r2.real()), r1.real() * r2.real()};
}

Matrix butterSos(int order, double wn, bool highpass) {
    if (order < 0 || order > kMaxOrder)
        throw std::runtime_error("Butterworth design: order must be between 0 and 16.");
    if (!(wn > 0.0 && wn < 1.0))
        throw std::runtime_error("Butterworth design: cut-off wn must lie strictly between 0 and 1.");

    const double r = (wn * kDesignRate * 0.5) / kDesignRate;
    const double k = highpass ? 1.0 / std::tan(kPi * r) : std::tan(kPi * r);

    std::vector<RootPair> pairs = analogPrototype(order);
    for (RootPair& pr : pairs) {
        pr.pole1 = toDigital(pr.pole1, k, highpass);
        pr.zero1 = toDigital(pr.zero1, k, highpass);
        if (!pr.single) {
            pr.pole2 = toDigital(pr.pole2, k, highpass);
            pr.zero2 = toDigital(pr.zero2, k, highpass);
        }
    }

    Matrix sos(static_cast<int>(pairs.size()), 6);
    for (int i = 0; i < sos.rows(); ++i) {
        const RootPair& pr = pairs[i];
        if (pr.single) {
            sos.row(i) << -pr.zero1.real(), 1.0, 0.0, 1.0, -pr.pole1.real(), 0.0;
        } else {
            const auto b = quadratic(pr.zero1, pr.zero2);
            const auto a = quadratic(pr.pole1, pr.pole2);
            sos.row(i) << b[0], b[1], b[2], a[0], a[1], a[2];
        }
    }

    // Unit gain at the pass-band reference (DC for the low-pass, Nyquist for
    // the high-pass), put into the first numerator only.
    if (sos.rows() > 0) {
        const double omega = highpass ? kPi : 0.0;
        const Complex e1 = std::exp(Complex(0.0, -omega));
        const Complex e2 = std::exp(Complex(0.0, -2.0 * omega));
        Complex H(1.0, 0.0);
        for (int i = 0; i < sos.rows(); ++i)
            H *= (sos(i, 0) + sos(i, 1) * e1 + sos(i, 2) * e2) / (sos(i, 3) + sos(i, 4) * e1 + sos(i, 5) * e2);
        const double gain = 1.0 / std::abs(H);
        sos.row(0).head(3) *= gain;
    }
    return sos;
}

}  // namespace

Matrix butterSosLowpass(int order, double wn) { return butterSos(order, wn, false); }

Matrix butterSosHighpass(int order, double wn) { return butterSos(order, wn, true); }

}  // namespace TalvekLib
