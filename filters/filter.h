// Frequency responses of digital filters on arbitrary frequency lists.
#pragma once

#include "core/dense.h"

namespace TalvekLib {

// Horner's rule with p[0] as the highest power: p[0] z^(L-1) + ... + p[L-1];
// 0 for an empty p. Shared by the filter objects and the analog sections.
Complex polyval(const Vector& p, Complex z);

class Filter {
public:
    // Complex response at each frequency f[k] (Hz) for sample rate fs (Hz).
    virtual CVector response(const Vector& f, double fs) const = 0;
    virtual ~Filter() = default;
};

// Responses of several FIR filters of one length at once, the taps of each a
// column of B in time order: column c equals FIRFilter(B.col(c)).response(f,
// fs) bit for bit, while the unit-circle points and delay factors are formed
// once for all of them.
CMatrix firResponses(const Eigen::Ref<const Matrix>& B, const Vector& f, double fs);

// Taps b in time order: H = sum_n b[n] e^(-j w n).
class FIRFilter : public Filter {
public:
    explicit FIRFilter(Vector b) : b(std::move(b)) {}
    CVector response(const Vector& f, double fs) const override;
    Vector b;
};

// (sum b[i] z^-i) / (sum a[i] z^-i); lengths may differ, nothing is normalised.
class IIRFilter : public Filter {
public:
    IIRFilter(Vector b, Vector a) : b(std::move(b)), a(std::move(a)) {}
    CVector response(const Vector& f, double fs) const override;
    Vector b;
    Vector a;
};

}  // namespace TalvekLib
