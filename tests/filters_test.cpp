// Filter objects, section responses and Butterworth designs: exact values and
// the rules scipy cannot check. The dense agreement with scipy.signal is in
// tests/python/test_filters_vs_scipy.py.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>

#include "filters/butterworth.h"
#include "filters/filter.h"
#include "filters/sos.h"

using namespace TalvekLib;

namespace {

constexpr double kFs = 96000.0;

Vector frequencies() {
    Vector f(5);
    f << 0.0, 50.0, 1000.0, 20000.0, kFs / 2;
    return f;
}

Matrix row(std::initializer_list<double> v) {
    Matrix m(1, static_cast<int>(v.size()));
    int i = 0;
    for (double e : v) m(0, i++) = e;
    return m;
}

std::string errorText(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(Filters, UnrolledHornerMatchesPlainLoopBitForBit) {
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const Complex z = std::exp(Complex(0.0, 0.731));
    for (int L = 0; L <= 9; ++L) {
        Vector p(L);
        for (int i = 0; i < L; ++i) p[i] = u(gen);
        Complex plain(0.0, 0.0);
        for (int i = 0; i < L; ++i) plain = plain * z + p[i];
        EXPECT_EQ(polyval(p, z), plain) << "length " << L;
    }
}

TEST(Filters, FirSimpleTaps) {
    const Vector f = frequencies();
    EXPECT_EQ(FIRFilter(Vector::Constant(1, 0.25)).response(f, kFs), CVector::Constant(5, 0.25));
    EXPECT_EQ(FIRFilter(Vector::Ones(3)).response(Vector(0), kFs).size(), 0);
    // b = [0 1] is one sample of delay: magnitude 1, phase -w.
    const CVector delay = FIRFilter((Vector(2) << 0.0, 1.0).finished()).response(f, kFs);
    for (int k = 0; k < f.size(); ++k) {
        const double w = 2 * kPi * f[k] / kFs;
        EXPECT_NEAR(std::abs(delay[k] - std::exp(Complex(0.0, -w))), 0.0, 1e-15);
    }
}

TEST(Filters, IirEqualPolynomialsGiveOne) {
    const Vector c = (Vector(3) << 1.0, -0.5, 0.25).finished();
    const CVector H = IIRFilter(c, c).response(frequencies(), kFs);
    for (int k = 0; k < H.size(); ++k) EXPECT_NEAR(std::abs(H[k] - 1.0), 0.0, 1e-15);
}

TEST(SecondOrderSections, SingleSectionIsAlwaysOneColumn) {
    const Matrix section = row({0.5, 0.2, 0.1, 1.0, -0.3, 0.2});
    const Vector f = frequencies();
    const CMatrix expected = IIRFilter(section.row(0).head(3).transpose(), section.row(0).tail(3).transpose())
                                 .response(f, kFs);
    for (int showstep : {0, 1, 7}) EXPECT_EQ(H_sos(section, f, kFs, showstep), expected);
    // The same section written as a 6 x 1 column.
    EXPECT_EQ(H_sos(section.transpose(), f, kFs, 0), expected);
    // The pass-through section, in both domains.
    const Matrix identity = row({1, 0, 0, 1, 0, 0});
    // It is z^2 / z^2 (s^2 / s^2), so 1 only up to rounding; analog 0/0 at 0 Hz.
    EXPECT_LT((H_sos(identity, f, kFs, 0).array() - 1.0).abs().maxCoeff(), 1e-15);
    EXPECT_LT((H_sos_s(identity, f.tail(4), 0).array() - 1.0).abs().maxCoeff(), 1e-15);
    EXPECT_TRUE(std::isnan(H_sos_s(identity, f.head(1), 0)(0, 0).real()));
}

TEST(SecondOrderSections, CascadeIsProductOfSections) {
    Matrix sos(2, 6);
    sos << 0.5, 0.2, 0.1, 1.0, -0.3, 0.2, 1.0, -1.0, 0.5, 1.0, 0.4, 0.1;
    const Vector f = frequencies();
    for (bool analog : {false, true}) {
        const CMatrix each = analog ? H_sos_s(sos, f, 1) : H_sos(sos, f, kFs, 1);
        const CMatrix cascade = analog ? H_sos_s(sos, f, 0) : H_sos(sos, f, kFs, 0);
        ASSERT_EQ(each.cols(), 2);
        ASSERT_EQ(cascade.cols(), 1);
        EXPECT_EQ(cascade.col(0), each.col(0).cwiseProduct(each.col(1)));
    }
}

TEST(SecondOrderSections, ErrorsAndEmptyCascade) {
    const Matrix two = Matrix::Ones(2, 6);
    const Vector f = frequencies();
    EXPECT_EQ(errorText([&] { H_sos(two, f, kFs, 2); }), "H_sos for showstep other than 0 or 1 not implemented.");
    EXPECT_EQ(errorText([&] { H_sos_s(two, f, -1); }), "H_sos_s for showstep other than zero or 1 not implemented.");
    EXPECT_THROW(H_sos(Matrix::Ones(2, 2), f, kFs, 0), std::runtime_error);
    for (int showstep : {0, 1, 5}) {
        const CMatrix H = H_sos(butterSosLowpass(0, 0.5), f, kFs, showstep);
        EXPECT_EQ(H.rows(), 5);
        EXPECT_EQ(H.cols(), 0);
    }
}

TEST(Butterworth, SecondOrderPassbandAndCutoff) {
    const double wn = 0.1, fc = wn * kFs / 2;
    Vector f(3);
    f << 0.0, fc, kFs / 2;
    const CMatrix lp = H_sos(butterSosLowpass(2, wn), f, kFs, 0);
    const CMatrix hp = H_sos(butterSosHighpass(2, wn), f, kFs, 0);
    EXPECT_NEAR(std::abs(lp(0, 0)), 1.0, 1e-14);
    EXPECT_NEAR(std::abs(lp(1, 0)), std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(std::abs(hp(2, 0)), 1.0, 1e-14);
    EXPECT_NEAR(std::abs(hp(1, 0)), std::sqrt(0.5), 1e-12);
}

TEST(Butterworth, SectionLayout) {
    const Matrix lp4 = butterSosLowpass(4, 0.3), hp4 = butterSosHighpass(4, 0.3);
    ASSERT_EQ(lp4.rows(), 2);
    EXPECT_EQ(lp4.row(1).head(3), row({1, 2, 1}));
    EXPECT_EQ(hp4.row(1).head(3), row({1, -2, 1}));
    EXPECT_EQ(lp4.col(3), Vector::Ones(2));
    const Matrix lp3 = butterSosLowpass(3, 0.3);
    ASSERT_EQ(lp3.rows(), 2);
    EXPECT_EQ(lp3.row(1)(0), 1.0);
    EXPECT_EQ(lp3.row(1)(1), 1.0);
    EXPECT_EQ(lp3.row(1)(2), 0.0);
    EXPECT_EQ(lp3.row(1)(5), 0.0);
    EXPECT_EQ(butterSosLowpass(16, 0.5).rows(), 8);
    EXPECT_EQ(butterSosHighpass(0, 0.5).cols(), 6);
}

TEST(Butterworth, RejectsOrderAndCutoffOutOfRange) {
    for (int order : {-1, 17}) EXPECT_THROW(butterSosLowpass(order, 0.5), std::runtime_error);
    for (double wn : {0.0, 1.0, -0.2, 1.5, std::nan("")}) EXPECT_THROW(butterSosHighpass(2, wn), std::runtime_error);
}
