#include "filters/filter.h"

#include <algorithm>
#include <complex>

#include "core/vector_clones.h"

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

namespace {

// Horner's rule for one polynomial at B points at once: the chains are
// independent, so they fill the vector units while each keeps the operation
// order of polyval (complex product, then the real coefficient added), and
// gives the same bits.
template <int B>
inline __attribute__((always_inline)) void polyvalBlock(const double* __restrict p, int L,
                                                        const double* __restrict zRe,
                                                        const double* __restrict zIm,
                                                        double* __restrict outRe, double* __restrict outIm) {
    double aRe[B] = {}, aIm[B] = {};
    for (int i = 0; i < L; ++i) {
        const double c = p[i];
        for (int j = 0; j < B; ++j) {
            const double re = (aRe[j] * zRe[j] - aIm[j] * zIm[j]) + c;
            const double im = aRe[j] * zIm[j] + aIm[j] * zRe[j];
            aRe[j] = re;
            aIm[j] = im;
        }
    }
    for (int j = 0; j < B; ++j) {
        outRe[j] = aRe[j];
        outIm[j] = aIm[j];
    }
}

// Wide blocks keep enough chains in flight to hide the multiply latency; a
// narrow one waits on it at every coefficient, so it serves only the last
// eight frequencies or fewer (a longer tail runs wide, its spare lanes idle).
constexpr int kWide = 32;
constexpr int kNarrow = 8;

TALVEK_VECTOR_CLONES
void polyvalWide(const double* p, int L, const double* zRe, const double* zIm, double* outRe, double* outIm) {
    polyvalBlock<kWide>(p, L, zRe, zIm, outRe, outIm);
}

TALVEK_VECTOR_CLONES
void polyvalNarrow(const double* p, int L, const double* zRe, const double* zIm, double* outRe, double* outIm) {
    polyvalBlock<kNarrow>(p, L, zRe, zIm, outRe, outIm);
}

}  // namespace

CMatrix firResponses(const Eigen::Ref<const Matrix>& B, const Vector& f, double fs) {
    const Vector w = digitalFrequencies(f, fs);
    const int N = f.size();
    const int L = B.rows();
    // Horner gives sum b[n] z^(L-1-n); dividing by z^(L-1) = exp(j (L-1) w)
    // turns it into sum b[n] e^(-j w n).
    const Complex delayUnit(0.0, static_cast<double>(L - 1));
    CMatrix H(N, B.cols());
    double zRe[kWide], zIm[kWide], hRe[kWide], hIm[kWide];
    Complex delay[kWide];
    for (int k0 = 0; k0 < N;) {
        const int block = N - k0 > kNarrow ? kWide : kNarrow;
        const int n = std::min(block, N - k0);
        for (int j = 0; j < block; ++j) {
            const Complex z = j < n ? std::exp(Complex(0.0, w[k0 + j])) : Complex(0.0, 0.0);
            zRe[j] = z.real();
            zIm[j] = z.imag();
            if (j < n) delay[j] = std::exp(delayUnit * w[k0 + j]);
        }
        for (int c = 0; c < B.cols(); ++c) {
            (block == kWide ? polyvalWide : polyvalNarrow)(B.col(c).data(), L, zRe, zIm, hRe, hIm);
            for (int j = 0; j < n; ++j) H(k0 + j, c) = Complex(hRe[j], hIm[j]) / delay[j];
        }
        k0 += n;
    }
    return H;
}

CVector FIRFilter::response(const Vector& f, double fs) const { return firResponses(b, f, fs); }

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
