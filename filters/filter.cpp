#include "filters/filter.h"

#include <complex>

namespace TalvekLib {

namespace {

// w[k] = (pi * (2 f[k])) / fs in that operation order, formed for the whole
// list before any response value.
Vector digitalFrequencies(const Vector& f, double fs) {
    Vector w(f.size());
    for (int k = 0; k < f.size(); ++k) w[k] = (kPi * (2.0 * f[k])) / fs;
    return w;
}

}  // namespace

Complex polyval(const Vector& p, Complex z) {
    // Unrolled by four for long FIR filters; each coefficient still sees the
    // same multiply-then-add as in the plain loop, so the result is identical.
    const int L = p.size();
    Complex acc(0.0, 0.0);
    int i = 0;
    for (; i + 4 <= L; i += 4) {
        acc = acc * z + p[i];
        acc = acc * z + p[i + 1];
        acc = acc * z + p[i + 2];
        acc = acc * z + p[i + 3];
    }
    for (; i < L; ++i) acc = acc * z + p[i];
    return acc;
}

CVector FIRFilter::response(const Vector& f, double fs) const {
    const Vector w = digitalFrequencies(f, fs);
    // Horner gives sum b[n] z^(N-1-n); dividing by z^(N-1) = exp(j (N-1) w)
    // turns it into sum b[n] e^(-j w n).
    const Complex delayUnit(0.0, static_cast<double>(b.size() - 1));
    CVector H(f.size());
    for (int k = 0; k < f.size(); ++k) {
        const Complex z = std::exp(Complex(0.0, w[k]));
        H[k] = polyval(b, z) / std::exp(delayUnit * w[k]);
    }
    return H;
}

CVector IIRFilter::response(const Vector& f, double fs) const {
    const Vector w = digitalFrequencies(f, fs);
    CVector H(f.size());
    for (int k = 0; k < f.size(); ++k) {
        const Complex z = std::exp(Complex(0.0, w[k]));
        // Both polynomials in positive powers: equal lengths cancel the shift.
        // The standard library's division scales by the larger part of A.
        H[k] = polyval(b, z) / polyval(a, z);
    }
    return H;
}

}  // namespace TalvekLib
