// Test-only C entry points into the table lookup, the filter objects, the
// section responses and the Butterworth designs, for the ctypes cross-checks
// in tests/python/test_filters_vs_scipy.py. Matrices are column-major;
// complex arrays are interleaved (re, im) pairs, numpy's complex128 layout.
// Every function returns 0, or -1 with the exception text copied into err.
#include <cstring>
#include <exception>

#include "core/interpolation.h"
#include "filters/butterworth.h"
#include "filters/filter.h"
#include "filters/sos.h"

#define SHIM_EXPORT extern "C" __attribute__((visibility("default")))

using namespace TalvekLib;

namespace {

template <typename Body>
int guarded(char* err, int errLen, Body&& body) {
    try {
        body();
        return 0;
    } catch (const std::exception& e) {
        if (err && errLen > 0) {
            std::strncpy(err, e.what(), errLen - 1);
            err[errLen - 1] = '\0';
        }
        return -1;
    }
}

Eigen::Map<const Vector> vec(const double* p, int n) { return {p, n}; }
Eigen::Map<const Matrix> mat(const double* p, int rows, int cols) { return {p, rows, cols}; }
Eigen::Map<const CMatrix> cmat(const double* p, int rows, int cols) {
    return {reinterpret_cast<const Complex*>(p), rows, cols};
}
template <typename M>
void copyOut(const M& m, double* out) {
    std::memcpy(out, m.data(), sizeof(typename M::Scalar) * m.size());
}

}  // namespace

// kind: 0 interpRows, 1 interpVector (m = 1), 2 interpLogX (m = 1); Y real n x m, out q x m.
SHIM_EXPORT int shim_interp_real(int kind, const double* x, int n, const double* Y, int m, const double* xq,
                                 int q, int allowExtrapolation, double* out, char* err, int errLen) {
    return guarded(err, errLen, [&] {
        const Vector xv = vec(x, n), xqv = vec(xq, q);
        const bool allow = allowExtrapolation != 0;
        Matrix r;
        if (kind == 0) r = interpRows(xv, mat(Y, n, m), xqv, allow);
        else if (kind == 1) r = interpVector(xv, vec(Y, n), xqv, allow);
        else r = interpLogX(xv, vec(Y, n), xqv, allow);
        copyOut(r, out);
    });
}

// kind: 0 interpRowsComplex, 1 interpMagPhase (complex out), 2 interpRowsAbs (real out).
SHIM_EXPORT int shim_interp_complex(int kind, const double* x, int n, const double* Y, int m,
                                    const double* xq, int q, int allowExtrapolation, double* out, char* err,
                                    int errLen) {
    return guarded(err, errLen, [&] {
        const Vector xv = vec(x, n), xqv = vec(xq, q);
        const CMatrix Yc = cmat(Y, n, m);
        const bool allow = allowExtrapolation != 0;
        if (kind == 0) copyOut(interpRowsComplex(xv, Yc, xqv, allow), out);
        else if (kind == 1) copyOut(interpMagPhase(xv, Yc, xqv, allow), out);
        else copyOut(interpRowsAbs(xv, Yc, xqv, allow), out);
    });
}

SHIM_EXPORT int shim_db_to_amplitude(const double* levels, int rows, int cols, double* out, char* err, int errLen) {
    return guarded(err, errLen, [&] { copyOut(dbToAmplitude(mat(levels, rows, cols)), out); });
}

SHIM_EXPORT int shim_fir_response(const double* b, int nb, const double* f, int nf, double fs, double* out,
                                  char* err, int errLen) {
    return guarded(err, errLen, [&] { copyOut(FIRFilter(vec(b, nb)).response(vec(f, nf), fs), out); });
}

SHIM_EXPORT int shim_iir_response(const double* b, int nb, const double* a, int na, const double* f, int nf,
                                  double fs, double* out, char* err, int errLen) {
    return guarded(err, errLen,
                   [&] { copyOut(IIRFilter(vec(b, nb), vec(a, na)).response(vec(f, nf), fs), out); });
}

// analog 0: H_sos at fs; analog 1: H_sos_s. out holds nf x max(nsec, 1)
// complex values; *outCols receives the number of result columns.
SHIM_EXPORT int shim_sos_response(int analog, const double* sos, int rows, int cols, const double* f, int nf,
                                  double fs, int showstep, double* out, int* outCols, char* err, int errLen) {
    return guarded(err, errLen, [&] {
        const Matrix S = mat(sos, rows, cols);
        const CMatrix H = analog ? H_sos_s(S, vec(f, nf), showstep) : H_sos(S, vec(f, nf), fs, showstep);
        *outCols = H.cols();
        copyOut(H, out);
    });
}

// out holds ceil(order/2) x 6 values, column-major.
SHIM_EXPORT int shim_butter_sos(int highpass, int order, double wn, double* out, int* outRows, char* err,
                                int errLen) {
    return guarded(err, errLen, [&] {
        const Matrix S = highpass ? butterSosHighpass(order, wn) : butterSosLowpass(order, wn);
        *outRows = S.rows();
        copyOut(S, out);
    });
}
