#include "filters/sos.h"

#include <stdexcept>

#include "filters/filter.h"

namespace TalvekLib {

namespace {

// One section per row; a single column is one section written as a column.
Matrix sectionRows(const Matrix& sos) {
    Matrix rows = sos.cols() == 1 ? Matrix(sos.transpose()) : sos;
    if (rows.cols() < 3)
        throw std::runtime_error("Second-order sections need at least three columns (b0 b1 b2 ... a0 a1 a2).");
    return rows;
}

Vector numerator(const Matrix& rows, int i) { return rows.row(i).head(3).transpose(); }
Vector denominator(const Matrix& rows, int i) { return rows.row(i).tail(3).transpose(); }

// Hs holds one row per section. showstep 0: the cascade as one column;
// showstep 1: one column per section. Fewer than two sections always give
// the per-section form. Checked only after every section was evaluated.
CMatrix combineSections(const CMatrix& Hs, int showstep, const char* unsupportedText) {
    if (Hs.rows() < 2) showstep = 1;
    if (showstep == 1) return Hs.transpose();
    if (showstep != 0) throw std::runtime_error(unsupportedText);
    CMatrix cascade(Hs.cols(), 1);
    for (int k = 0; k < Hs.cols(); ++k) {
        Complex product = Hs(0, k);
        for (int i = 1; i < Hs.rows(); ++i) product *= Hs(i, k);
        cascade(k, 0) = product;
    }
    return cascade;
}

// N / D by the textbook formula, without the scaling of the library division.
Complex plainDivide(Complex N, Complex D) {
    const double den = D.real() * D.real() + D.imag() * D.imag();
    return Complex((N.real() * D.real() + N.imag() * D.imag()) / den,
                   (N.imag() * D.real() - N.real() * D.imag()) / den);
}

}  // namespace

CMatrix H_sos(const Matrix& sos, const Vector& f, double fs, int showstep) {
    const Matrix rows = sectionRows(sos);
    CMatrix Hs(rows.rows(), f.size());
    for (int i = 0; i < rows.rows(); ++i) {
        const IIRFilter section(numerator(rows, i), denominator(rows, i));
        Hs.row(i) = section.response(f, fs).transpose();
    }
    return combineSections(Hs, showstep, "H_sos for showstep other than 0 or 1 not implemented.");
}

CMatrix H_sos_s(const Matrix& sos, const Vector& f, int showstep) {
    const Matrix rows = sectionRows(sos);
    const int nf = f.size();
    CMatrix Hs(rows.rows(), nf);
    CVector N(nf), D(nf);
    for (int i = 0; i < rows.rows(); ++i) {
        const Vector b = numerator(rows, i);
        const Vector a = denominator(rows, i);
        for (int k = 0; k < nf; ++k) {
            const Complex s(0.0, 6.283185307179586 * f[k]);  // s = j 2 pi f
            N[k] = polyval(b, s);
            D[k] = polyval(a, s);
        }
        for (int k = 0; k < nf; ++k) Hs(i, k) = plainDivide(N[k], D[k]);
    }
    return combineSections(Hs, showstep, "H_sos_s for showstep other than zero or 1 not implemented.");
}

}  // namespace TalvekLib
