#include "acoustics/greens.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/interpolation.h"
#include "core/two_threads.h"
#include "core/turns.h"
#include "filters/sos.h"

namespace TalvekLib {

namespace {

constexpr double kNearFieldRadius = 0.5;        // m
constexpr double kReferenceDistance = 1.0;      // m, distance of the measured responses
constexpr double kRadPerDeg = 0.017453292519943295;
constexpr double kDegPerRad = 57.29577951308232;
constexpr int kDriversPerBox = 8;

// acc += invr * e * d * exp(-j 2 pi f tau) over the frequencies: e the
// channel's electrical chain, d the driver's directivity towards the point.
// Every complex array is held as separate real and imaginary arrays so that
// the loop vectorises.
TALVEK_VECTOR_CLONES
void accumulateDriver(int N, const double* __restrict f, double tau, double invr,
                      const double* __restrict eRe, const double* __restrict eIm,
                      const double* __restrict dRe, const double* __restrict dIm,
                      double* __restrict accRe, double* __restrict accIm) {
    for (int n = 0; n < N; ++n) {
        const double gRe = eRe[n] * dRe[n] - eIm[n] * dIm[n];
        const double gIm = eRe[n] * dIm[n] + eIm[n] * dRe[n];
        double c, s;
        cosSinTurns(f[n] * tau, c, s);
        accRe[n] += invr * (gRe * c + gIm * s);
        accIm[n] += invr * (gIm * c - gRe * s);
    }
}

// ---------------------------------------------------------------- checks

std::string sectionName(bool woofer) { return woofer ? "woofer" : "tweeter"; }

void checkSection(const DriverData& d, bool woofer, const ChannelDesign& cd, const IVector& freqIdx,
                  int angleRows) {
    const std::string name = sectionName(woofer);
    const int K = d.driverpos.size();
    const int nf = d.f.size();
    if (static_cast<int>(d.H.size()) != nf)
        throw std::runtime_error("The " + name + " section has " + std::to_string(d.H.size()) +
                                 " transfer matrices for " + std::to_string(nf) + " frequencies.");
    for (int i = 0; i < freqIdx.size(); ++i)
        if (freqIdx[i] < 0 || freqIdx[i] >= nf)
            throw std::runtime_error("Frequency index " + std::to_string(freqIdx[i]) + " is outside the " +
                                     name + " section's " + std::to_string(nf) + " frequencies.");
    if (cd.outputshifts.size() != K)
        throw std::runtime_error("The speaker design has " + std::to_string(cd.outputshifts.size()) + " " +
                                 name + " channels but the model's " + name + " section has " +
                                 std::to_string(K) +
                                 " driver positions; the design was made for another model.");
    if (d.driver_delay.cols() < K || d.driver_delay.rows() != angleRows)
        throw std::runtime_error("The " + name + " section's driver_delay is " +
                                 std::to_string(d.driver_delay.rows()) + " x " +
                                 std::to_string(d.driver_delay.cols()) + "; it needs " +
                                 std::to_string(angleRows) + " angle rows and a column per driver position (" +
                                 std::to_string(K) + ").");
    for (int i = 0; i < freqIdx.size(); ++i) {
        const CMatrix& D = d.H[freqIdx[i]];
        if (D.rows() != angleRows || D.cols() < d.transferColumns())
            throw std::runtime_error("The " + name + " section's transfer matrix at frequency index " +
                                     std::to_string(freqIdx[i]) + " is " + std::to_string(D.rows()) + " x " +
                                     std::to_string(D.cols()) + "; it needs " + std::to_string(angleRows) +
                                     " angle rows and a column per driver position (" + std::to_string(K) +
                                     ").");
    }
    const Matrix& A = d.Hdacamp.H;
    if (A.rows() == 0 || A.rows() != d.Hdacamp.Vclip.size())
        throw std::runtime_error("The " + name + " section's amplifier data has " + std::to_string(A.rows()) +
                                 " transfer rows and " + std::to_string(d.Hdacamp.Vclip.size()) +
                                 " clip voltages; it needs the same non-zero number of each.");
    if (freqIdx.size() > 0 && A.cols() <= freqIdx.maxCoeff())
        throw std::runtime_error("The " + name + " section's amplifier data has " + std::to_string(A.cols()) +
                                 " frequency columns, too few for frequency index " +
                                 std::to_string(freqIdx.maxCoeff()) + ".");
}

void checkRolloff(const WfData& d) {
    const int K = d.driverpos.size();
    if (d.Nboxes < 0 || d.rolloff_sosa.rows() < d.Nboxes || (d.Nboxes > 0 && d.rolloff_sosa.cols() != 6))
        throw std::runtime_error("The woofer section has " + std::to_string(d.Nboxes) +
                                 " boxes but rolloff_sosa is " + std::to_string(d.rolloff_sosa.rows()) + " x " +
                                 std::to_string(d.rolloff_sosa.cols()) + "; it needs one row of six per box.");
    if (kDriversPerBox * d.Nboxes > K)
        throw std::runtime_error("The woofer section has " + std::to_string(d.Nboxes) + " boxes of " +
                                 std::to_string(kDriversPerBox) + " drivers but only " + std::to_string(K) +
                                 " driver positions.");
}

// ---------------------------------------------------------------- electrical chain

// Steering filter times crossover per channel (from the cache when there is
// one), and for the woofer the analog roll-off of each box on its eight
// drivers: N x channels.
CMatrix electricalChain(const DriverData& d, const WfData* woofer, const Matrix& crossover, double fs,
                        const ChannelDesign& cd, const Vector& f, const IVector& freqIdx, ChannelChainCache* cache) {
    CMatrix E;
    if (cache) {
        const CMatrix& all = cache->chains(cd, crossover, fs, d.f);
        E.resize(freqIdx.size(), all.cols());
        for (int n = 0; n < freqIdx.size(); ++n) E.row(n) = all.row(freqIdx[n]);
    } else {
        E = channelChains(cd, crossover, fs, f);
    }
    if (woofer) {
        for (int b = 0; b < woofer->Nboxes; ++b) {
            const Matrix section = woofer->rolloff_sosa.row(b);
            const CMatrix R = H_sos_s(section, f, 0);
            for (int k = kDriversPerBox * b; k < kDriversPerBox * (b + 1); ++k)
                E.col(k).array() *= R.col(0).array();
        }
    }
    return E;
}

// Smallest clip voltage over the peak drive each amplifier channel sees when
// the section plays the reference curve at the requested frequencies.
double clipHeadroom(const DriverData& d, const IVector& freqIdx, const Vector& f, const RefCurve& ref) {
    const Matrix gains = dbToAmplitude(interpLogX(ref.freqHz, ref.levelDb, f, true));
    const int N = f.size();
    double headroom = 0.0;
    for (int c = 0; c < d.Hdacamp.H.rows(); ++c) {
        double peak = -std::numeric_limits<double>::infinity();
        for (int n = 0; n < N; ++n) {
            const double drive = std::abs(d.Hdacamp.H(c, freqIdx[n])) * gains(n, 0);
            peak = std::max(peak, drive);
        }
        const double h = d.Hdacamp.Vclip[c] / peak;
        headroom = c == 0 ? h : std::min(headroom, h);
    }
    return headroom;
}

// ---------------------------------------------------------------- geometry

struct DriverView {
    double r;     // distance, m
    double v;     // component along the column's forward normal
    int row;      // angle row of the directivity data

    // On or in front of the plane of the column; drivers radiate nothing backwards.
    bool facesPoint() const { return v >= 0.0; }
};

struct ColumnGeometry {
    double cosT, sinT;
    Vector xk, yk;  // driver coordinates
    double angleStep;

    DriverView view(int k, double px, double py) const {
        const double dx = px - xk[k];
        const double dy = py - yk[k];
        const double r = std::sqrt(dx * dx + dy * dy);
        const double v = dx * cosT + dy * sinT;
        const double u = dy * cosT - dx * sinT;
        // A listener on the driver (r = 0) has no direction: row of 0 degrees.
        // Otherwise |u/r| can exceed 1 by a rounding step for a point on the
        // column axis, which must still read as +-90 degrees.
        double phi = 0.0;
        if (r > 0.0) phi = kDegPerRad * std::asin(std::clamp(u / r, -1.0, 1.0));
        const int row = static_cast<int>((phi + 90.0) / angleStep + 0.5);
        return {r, v, row};
    }
};

ColumnGeometry columnGeometry(const DriverData& d, double g1, double g2, double angleStep) {
    const double theta = g2 * kRadPerDeg;
    ColumnGeometry g{std::cos(theta), std::sin(theta), Vector(d.driverpos.size()),
                     Vector(d.driverpos.size()), angleStep};
    for (int k = 0; k < d.driverpos.size(); ++k) {
        const double z = d.driverpos[k] + d.yshift;
        g.xk[k] = -z * g.sinT;
        g.yk[k] = g1 + z * g.cosT;
    }
    return g;
}

}  // namespace

// ---------------------------------------------------------------- section field

SectionField computeSectionField(const DriverData& section, double g1, double g2,
                                 const SpeakerDesign& design, const Vector& x, const Vector& y,
                                 const IVector& freqIdx, const RefCurve& ref, const LibSettings& s,
                                 ChannelChainCache* cache) {
    const auto* woofer = dynamic_cast<const WfData*>(&section);
    const ChannelDesign& cd = woofer ? design.wf : design.tw;
    const Matrix& crossover = woofer ? design.sos_xover_wf : design.sos_xover_tw;
    const double fs = woofer ? design.fswf : design.fstw;
    const int angleRows = static_cast<int>(std::floor(180.0 / s.angleStep + 0.5)) + 1;
    checkSection(section, woofer != nullptr, cd, freqIdx, angleRows);
    if (woofer) checkRolloff(*woofer);
    if (x.size() != y.size())
        throw std::runtime_error("The listener points have " + std::to_string(x.size()) + " x and " +
                                 std::to_string(y.size()) + " y coordinates.");

    const int N = freqIdx.size();
    const int P = x.size();
    const int K = section.driverpos.size();
    Vector f(N);
    for (int n = 0; n < N; ++n) f[n] = section.f[freqIdx[n]];

    SectionField out;
    out.headroom = clipHeadroom(section, freqIdx, f, ref);
    const CMatrix E = electricalChain(section, woofer, crossover, fs, cd, f, freqIdx, cache);
    const ColumnGeometry geo = columnGeometry(section, g1, g2, s.angleStep);

    // Pass 1: which columns and rows of the directivity data are seen from
    // the front, and the near-field flags. Each (column, row) pair gets a slot
    // in the table below; driver positions that share a prototype share slots.
    const int columns = section.transferColumns();
    const int noSlot = -1;
    std::vector<int> slotOf(static_cast<std::size_t>(columns) * angleRows, noSlot);
    auto slotIndex = [&](int k, int row) {
        return static_cast<std::size_t>(section.transferColumn(k)) * angleRows + section.transferRow(k, row);
    };
    std::vector<int> slotColumn, slotRow;
    out.nearField.assign(P, false);
    for (int p = 0; p < P; ++p) {
        double rMin = std::numeric_limits<double>::infinity();
        for (int k = 0; k < K; ++k) {
            const DriverView dv = geo.view(k, x[p], y[p]);
            rMin = std::min(rMin, dv.r);
            if (dv.facesPoint()) slotOf[slotIndex(k, dv.row)] = 0;
        }
        out.nearField[p] = rMin < kNearFieldRadius;
    }
    for (int c = 0; c < columns; ++c)
        for (int a = 0; a < angleRows; ++a) {
            int& slot = slotOf[static_cast<std::size_t>(c) * angleRows + a];
            if (slot == noSlot) continue;
            slot = static_cast<int>(slotColumn.size());
            slotColumn.push_back(c);
            slotRow.push_back(a);
        }

    // Directivity per used slot and the electrical chain per channel,
    // contiguous over frequency. The slots are filled eight frequencies at a
    // time so that each slot's writes land in whole cache lines. Every element
    // is written before it is read: no zero fill.
    const std::size_t slots = slotColumn.size();
    const std::unique_ptr<double[]> dRe(new double[slots * N]), dIm(new double[slots * N]);
    for (int n0 = 0; n0 < N; n0 += 8) {
        const int n1 = std::min(N, n0 + 8);
        for (std::size_t sl = 0; sl < slots; ++sl)
            for (int n = n0; n < n1; ++n) {
                const Complex v = section.H[freqIdx[n]](slotRow[sl], slotColumn[sl]);
                dRe[sl * N + n] = v.real();
                dIm[sl * N + n] = v.imag();
            }
    }
    const std::unique_ptr<double[]> eRe(new double[static_cast<std::size_t>(K) * N]),
        eIm(new double[static_cast<std::size_t>(K) * N]);
    for (int k = 0; k < K; ++k)
        for (int n = 0; n < N; ++n) {
            eRe[static_cast<std::size_t>(k) * N + n] = E(n, k).real();
            eIm[static_cast<std::size_t>(k) * N + n] = E(n, k).imag();
        }

    // Pass 2: the field, point by point, summing the drivers that face it.
    // The points are independent: a large map is shared with a second thread.
    out.field.resize(N, P);
    const double inf = std::numeric_limits<double>::infinity();
    const auto fieldAt = [&](int first, int last) {
        std::vector<double> accRe(N), accIm(N);
        for (int p = first; p < last; ++p) {
            std::fill(accRe.begin(), accRe.end(), 0.0);
            std::fill(accIm.begin(), accIm.end(), 0.0);
            bool onDriver = false;
            for (int k = 0; k < K; ++k) {
                const DriverView dv = geo.view(k, x[p], y[p]);
                if (!dv.facesPoint()) continue;
                if (dv.r == 0.0) {
                    onDriver = true;
                    continue;
                }
                const std::size_t sl = slotOf[slotIndex(k, dv.row)];
                const std::size_t ch = static_cast<std::size_t>(k) * N;
                const double tau = (dv.r - kReferenceDistance) / kSpeedOfSound + section.driver_delay(dv.row, k);
                accumulateDriver(N, f.data(), tau, kReferenceDistance / dv.r, &eRe[ch], &eIm[ch], &dRe[sl * N],
                                 &dIm[sl * N], accRe.data(), accIm.data());
            }
            // A listener on a driver hears an unbounded pressure; the near-field
            // clipping of the caller turns it into the loudest far-field level.
            for (int n = 0; n < N; ++n)
                out.field(n, p) = onDriver ? Complex(inf, 0.0) : Complex(accRe[n], accIm[n]);
        }
    };
    shareWithSecondThread(P, static_cast<double>(P) * K * N, fieldAt);
    return out;
}

// ---------------------------------------------------------------- greens

GreensResult computeGreens(const ModelData& model, const SpeakerDesign& design, double g1, double g2,
                           const Vector& x, const Vector& y, int i1, int i2, const RefCurve& ref,
                           const LibSettings& s, ChannelChainCache* cache) {
    if (design.arraytype == 0 || design.wfeqValue == 0.0)
        throw std::runtime_error("There is no speaker design yet: run an optimisation or a design from a "
                                 "stored steering-filter set first.");
    if (!model.wf || (model.twoway && !model.tw))
        throw std::runtime_error("The loaded model lacks a driver section.");
    if (x.size() != y.size() || x.size() == 0)
        throw std::runtime_error("The listener points need as many x as y coordinates and at least one point (" +
                                 std::to_string(x.size()) + " x, " + std::to_string(y.size()) + " y).");
    if (!x.allFinite() || !y.allFinite() || !std::isfinite(g1) || !std::isfinite(g2))
        throw std::runtime_error("The listener points, height and tilt must be finite numbers.");
    int nf = model.wf->f.size();
    if (model.twoway) nf = std::min(nf, static_cast<int>(model.tw->f.size()));
    if (i1 < 0 || i1 > i2 || i2 >= nf)
        throw std::runtime_error("Frequency indices " + std::to_string(i1 + 1) + " to " + std::to_string(i2 + 1) +
                                 " are not an ascending range within the model's " + std::to_string(nf) +
                                 " frequencies.");

    const int N = i2 - i1 + 1;
    IVector freqIdx(N);
    for (int n = 0; n < N; ++n) freqIdx[n] = i1 + n;

    SectionField total = computeSectionField(*model.wf, g1, g2, design, x, y, freqIdx, ref, s, cache);
    if (model.twoway) {
        const SectionField tw = computeSectionField(*model.tw, g1, g2, design, x, y, freqIdx, ref, s, cache);
        total.field += tw.field;
        for (std::size_t p = 0; p < total.nearField.size(); ++p)
            total.nearField[p] = total.nearField[p] || tw.nearField[p];
        if (total.headroom > tw.headroom) total.headroom = tw.headroom;
    }

    const double G = design.wfeqValue;
    GreensResult result;
    const double q = std::abs(total.headroom / G);
    result.headroomDb = 10.0 * std::log10(q * q);

    const int P = x.size();
    result.power.resize(N, P);
    for (int p = 0; p < P; ++p)
        for (int n = 0; n < N; ++n) {
            const double a = G * std::abs(total.field(n, p));  // hypot: no overflow in the square sum
            result.power(n, p) = a * a;
        }

    // Near a driver the point-source model overstates the level: no near-field
    // point may show more than the loudest far-field point (0 when there is none).
    double peak = 0.0;
    for (int p = 0; p < P; ++p)
        if (!total.nearField[p])
            for (int n = 0; n < N; ++n)
                if (result.power(n, p) > peak) peak = result.power(n, p);
    for (int p = 0; p < P; ++p)
        if (total.nearField[p])
            for (int n = 0; n < N; ++n)
                if (result.power(n, p) > peak) result.power(n, p) = peak;
    return result;
}

TALVEK_VECTOR_CLONES
void phasorsForDelay(const double* f, int count, double tau, double* re, double* im) {
    for (int n = 0; n < count; ++n) {
        double c, s;
        cosSinTurns(f[n] * tau, c, s);
        re[n] = c;
        im[n] = -s;
    }
}

}  // namespace TalvekLib
