#include "model/driver_data.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "core/exceptions.h"
#include "core/interpolation.h"
#include "core/kernels.h"
#include "core/lib_settings.h"
#include "core/two_threads.h"
#include "filters/butterworth.h"
#include "filters/sos.h"

namespace TalvekLib {

namespace {

constexpr double kRadiansPerDegree = 0.017453292519943295;

// Linkwitz-Riley crossover of order 2n: the Butterworth sections B twice.
Matrix stackedTwice(const Matrix& B) {
    Matrix S(2 * B.rows(), B.cols());
    S << B, B;
    return S;
}

// Magnitude of the cascade of S at f. H_sos gives one column per section when
// there are fewer than two, so multiply whatever columns come back (none: 1).
Vector cascadeMagnitude(const Matrix& S, const Vector& f, double fs) {
    const CMatrix R = H_sos(S, f, fs, 0);
    Vector m = Vector::Ones(f.size());
    for (int c = 0; c < R.cols(); ++c) m.array() *= R.col(c).array().abs();
    return m;
}

// Work shared by both sections: fills crossoverTarget and returns the
// sections, then refuses orders whose half is odd (after the work, so the
// caller's copy carries its effects either way).
Matrix designSectionCrossover(DriverData& d, double fx, double fs, double bwx, int order, bool highSide) {
    const double wn = fx * 2.0 / fs;
    const int n = order / 2;
    const Matrix S = stackedTwice(highSide ? butterSosHighpass(n, wn) : butterSosLowpass(n, wn));
    const Vector M = cascadeMagnitude(S, d.f, fs);
    d.crossoverTarget = bandWeight(d.f, fx, bwx, highSide).cwiseQuotient(M);
    if (n % 2 != 0) {
        throw std::runtime_error(highSide ? "unsupported iir xover order in tweeter"
                                          : "unsupported iir xover order in woofer");
    }
    return S;
}

// The measured prototype that each driver position uses; ParseException when
// chp cannot say it.
void checkPackingList(const IVector& chp, int positions, int prototypes) {
    if (chp.size() < positions) throw ParseException();
    for (int j = 0; j < positions; ++j) {
        if (chp[j] == 0 || chp[j] > prototypes || chp[j] < -prototypes) throw ParseException();
    }
}

// n angles from -pi/2 to pi/2 (radians); a single angle is pi/2.
Vector fineAngleGrid(double angleStepDegrees) {
    const int n = static_cast<int>(std::floor(180.0 / angleStepDegrees + 0.5)) + 1;
    if (n == 1) return Vector::Constant(1, kPi / 2);
    Vector theta(n);
    for (int k = 0; k < n; ++k) theta[k] = -kPi / 2 + k * kPi / (n - 1);
    return theta;
}

}  // namespace

Vector bandWeight(const Vector& f, double fx, double bwx, bool highSide) {
    const double f1 = fx * std::pow(2.0, -bwx / 2);
    const double f2 = fx * std::pow(2.0, bwx / 2);
    Vector w(f.size());
    for (int i = 0; i < f.size(); ++i) {
        if (highSide) {
            w[i] = f[i] < fx ? 0.0 : 1.0;
        } else {
            w[i] = f[i] > fx ? 0.0 : 1.0;
        }
        if (f1 < f[i] && f[i] < f2) {
            // Raised cosine in log frequency, 1 at f1 falling to 0 at f2.
            const double c = (std::cos(std::log(f[i] / f1) * kPi / std::log(f2 / f1)) + 1) * 0.5;
            w[i] = highSide ? 1 - c : c;
        }
    }
    return w;
}

Matrix DriverData::applyCrossover(double fx, double fs, double bwx, int order) {
    const Matrix S = designCrossover(fx, fs, bwx, order);
    // Keep the frequencies the section serves (NaN counts as serving).
    const IVector keep = findIndices(crossoverTarget, [](double t) { return t != 0.0; });
    std::vector<CMatrix> kept;
    kept.reserve(keep.size());
    for (int i = 0; i < keep.size(); ++i) kept.push_back(H[keep[i]]);
    H = std::move(kept);
    f = gatherElements(f, keep);
    crossoverTarget = gatherElements(crossoverTarget, keep);
    return S;
}

Matrix WfData::designCrossover(double fx, double fs, double bwx, int order) {
    return designSectionCrossover(*this, fx, fs, bwx, order, false);
}

Matrix TwData::designCrossover(double fx, double fs, double bwx, int order) {
    return designSectionCrossover(*this, fx, fs, bwx, order, true);
}

void DriverData::pack() {
    const int positions = driverpos.size();
    const int prototypes = H.empty() ? 0 : H.front().cols();
    checkPackingList(chp, positions, prototypes);

    // Interpolation runs linear in sin(angle), where a piston's directivity is
    // smooth and the measured grid's ends (+-90 degrees) stay the table's ends.
    const Vector theta = fineAngleGrid(librarySettings().angleStep);
    const Vector x = (phi * kRadiansPerDegree).array().sin().matrix();
    const Vector xq = theta.array().sin().matrix();

    driver_delay = interpRows(x, driver_delay, xq, true);
    phi = theta;

    // Only the prototypes are resampled: the driver positions read them
    // through chp, so the data stay as small as the measurements. Each
    // frequency is resampled on its own, so a second thread takes half of
    // them; every value costs an arctangent and a sine and cosine, some twenty
    // terms' worth. The results are allocated here, on the calling thread,
    // where the memory the document's tree left is.
    std::vector<CMatrix> resampled(H.size());
    for (CMatrix& R : resampled) R.resize(xq.size(), prototypes);
    const double terms = 20.0 * static_cast<double>(H.size()) * xq.size() * prototypes;
    shareWithSecondThread(static_cast<int>(H.size()), terms, [&](int first, int last) {
        MagPhaseResampler resample(x, xq);
        for (int k = first; k < last; ++k) resample(H[k], resampled[k]);
    });
    H = std::move(resampled);
}

int DriverData::transferColumns() const {
    int columns = 0;
    for (int d = 0; d < driverpos.size(); ++d) columns = std::max(columns, transferColumn(d) + 1);
    return columns;
}

}  // namespace TalvekLib
