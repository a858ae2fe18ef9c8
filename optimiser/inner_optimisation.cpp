// The per-frequency fit of a section's channel weights to the venue targets:
// a diagonally loaded least-squares solve whose right-hand side (the desired
// magnitudes, used with zero phase) is adapted until the achieved levels in
// the audience directions follow the targets.
#include "optimiser/inner_optimisation.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <utility>
#include <vector>

#include <cblas.h>

#include "core/fixed_lanes.h"
#include "core/interpolation.h"
#include "core/kernels.h"
#include "core/lib_settings.h"
#include "core/turns.h"
#include "core/two_threads.h"
#include "optimiser/structured_gram.h"

namespace TalvekLib {

namespace {

// Pivots below this fraction of the largest count as zero in the solve.
constexpr double kPivotThreshold = 2.220446049250313e-16;

struct DirectionRecord {
    int angleIndex;
    double target;
    double distance;
    double weight;
};

// Strict weak order for "smaller first, NaN last".
bool lessNanLast(double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

// Nearest first; at equal distance the smaller target (NaN after numbers).
bool nearerCrossing(const DirectionRecord& a, const DirectionRecord& b) {
    if (lessNanLast(a.distance, b.distance)) return true;
    if (lessNanLast(b.distance, a.distance)) return false;
    return lessNanLast(a.target, b.target);
}

// Diagonal loading per channel: one beta for all, or one per box of eight.
Vector diagonalLoading(const Vector& beta, int channels) {
    if (beta.size() == 0) throw std::runtime_error("Section has no beta value for the solve.");
    Vector v(channels);
    for (int i = 0; i < channels; ++i) {
        const int box = beta.size() > 1 ? i / 8 : 0;
        if (box >= beta.size())
            throw std::runtime_error("Section has fewer beta values than boxes of eight channels.");
        v[i] = beta[box];
    }
    return v;
}

// y = G x for G = [Gr, Gi] held as S (rows x 2 cols, column-major) and x, y
// held as separate real and imaginary arrays. Four columns per pass over y,
// added one after the other (the order of a column-by-column pass), so that y
// is loaded and stored a quarter as often; the loop over rows vectorises.
TALVEK_VECTOR_CLONES
void transferTimes(int rows, int cols, const double* __restrict S, const double* __restrict xRe,
                   const double* __restrict xIm, double* __restrict yRe, double* __restrict yIm) {
    for (int j = 0; j < rows; ++j) yRe[j] = yIm[j] = 0.0;
    const auto re = [&](int d) { return S + static_cast<std::size_t>(d) * rows; };
    const auto im = [&](int d) { return S + static_cast<std::size_t>(cols + d) * rows; };
    int d = 0;
    for (; d + 4 <= cols; d += 4) {
        const double* __restrict a0 = re(d);
        const double* __restrict a1 = re(d + 1);
        const double* __restrict a2 = re(d + 2);
        const double* __restrict a3 = re(d + 3);
        const double* __restrict b0 = im(d);
        const double* __restrict b1 = im(d + 1);
        const double* __restrict b2 = im(d + 2);
        const double* __restrict b3 = im(d + 3);
        const double r0 = xRe[d], r1 = xRe[d + 1], r2 = xRe[d + 2], r3 = xRe[d + 3];
        const double i0 = xIm[d], i1 = xIm[d + 1], i2 = xIm[d + 2], i3 = xIm[d + 3];
        for (int j = 0; j < rows; ++j) {
            double yr = yRe[j], yi = yIm[j];
            yr += a0[j] * r0 - b0[j] * i0;
            yi += a0[j] * i0 + b0[j] * r0;
            yr += a1[j] * r1 - b1[j] * i1;
            yi += a1[j] * i1 + b1[j] * r1;
            yr += a2[j] * r2 - b2[j] * i2;
            yi += a2[j] * i2 + b2[j] * r2;
            yr += a3[j] * r3 - b3[j] * i3;
            yi += a3[j] * i3 + b3[j] * r3;
            yRe[j] = yr;
            yIm[j] = yi;
        }
    }
    for (; d < cols; ++d) {
        const double* __restrict a = re(d);
        const double* __restrict b = im(d);
        const double xr = xRe[d], xi = xIm[d];
        for (int j = 0; j < rows; ++j) {
            yRe[j] += a[j] * xr - b[j] * xi;
            yIm[j] += a[j] * xi + b[j] * xr;
        }
    }
}

// s = S^T v for S (rows x cols, column-major): one inner product per column,
// in fixed lanes.
TALVEK_VECTOR_CLONES
void columnDots(int rows, int cols, const double* __restrict S, const double* __restrict v, double* __restrict s) {
    for (int d = 0; d < cols; ++d) {
        const double* __restrict a = S + static_cast<std::size_t>(d) * rows;
        Lanes acc = {};
        int j = 0;
        for (; j + kLanes <= rows; j += kLanes) {
            Lanes aj, vj;
            loadLanes(aj, a + j);
            loadLanes(vj, v + j);
            acc += aj * vj;
        }
        for (int l = 0; j < rows; ++j, ++l) acc[l] += a[j] * v[j];
        s[d] = sumLanes(acc);
    }
}

// The complex matrix G held as its real and imaginary halves side by side,
// S = [Re G, Im G]: every product the fit needs then runs as a real matrix
// product, which is several times faster than the complex one, and the Gram
// matrix comes out exactly Hermitian. The direct Gram product goes to the
// optimised BLAS, which picks the kernels for the machine's vector units when
// it loads; the products with vectors run on the kernels above.
class SplitTransfer {
public:
    SplitTransfer(int rows, int cols)
        : S_(rows, 2 * cols), SS_(2 * cols, 2 * cols), s_(2 * cols), xRe_(cols), xIm_(cols), yRe_(rows),
          yIm_(rows), n_(cols) {}

    // The two halves of column d, to be filled with Re and Im of G(:, d).
    double* realColumn(int d) { return S_.col(d).data(); }
    double* imagColumn(int d) { return S_.col(n_ + d).data(); }

    // A = G^H G: from the column's structure when drivers share kinds and
    // spacings, else from the symmetric product S^T S = [[Gr'Gr, Gr'Gi],
    // [Gi'Gr, Gi'Gi]]: Re A = Gr'Gr + Gi'Gi, Im A = Gr'Gi - Gi'Gr. Only the
    // lower triangle of S^T S is formed; the upper one is its mirror.
    void gram(const StructuredGram& structure, CMatrix& A) {
        if (structure.worthwhile()) {
            structure.compute(S_.rows(), S_.data(), S_.col(n_).data(), A);
            return;
        }
        const int m = 2 * n_;
        cblas_dsyrk(CblasColMajor, CblasLower, CblasTrans, m, S_.rows(), 1.0, S_.data(), S_.rows(), 0.0,
                    SS_.data(), m);
        const Matrix full = SS_.selfadjointView<Eigen::Lower>();
        A.real() = full.topLeftCorner(n_, n_) + full.bottomRightCorner(n_, n_);
        A.imag() = full.topRightCorner(n_, n_) - full.bottomLeftCorner(n_, n_);
    }

    // G^H v for a real v.
    void adjointTimes(const Vector& v, CVector& h) {
        columnDots(S_.rows(), S_.cols(), S_.data(), v.data(), s_.data());
        h.real() = s_.head(n_);
        h.imag() = -s_.tail(n_);
    }

    // P = |G x| elementwise.
    void magnitudesOf(const CVector& x, Vector& P) {
        xRe_ = x.real();
        xIm_ = x.imag();
        transferTimes(S_.rows(), n_, S_.data(), xRe_.data(), xIm_.data(), yRe_.data(), yIm_.data());
        P = (yRe_.array().square() + yIm_.array().square()).sqrt().matrix();
    }

private:
    Matrix S_;
    Matrix SS_;
    Vector s_, xRe_, xIm_, yRe_, yIm_;
    int n_;
};

// g = h exp(+j 2 pi f tau) for the n directions of one driver, with h and g
// held as separate real and imaginary arrays so that the loop vectorises.
TALVEK_VECTOR_CLONES
void rotateByDelay(int n, double f, const double* __restrict tau, const double* __restrict hRe,
                   const double* __restrict hIm, double* __restrict gRe, double* __restrict gIm) {
    for (int j = 0; j < n; ++j) {
        double c, s;
        cosSinTurns(f * tau[j], c, s);
        gRe[j] = hRe[j] * c - hIm[j] * s;
        gIm[j] = hRe[j] * s + hIm[j] * c;
    }
}

int iterationCount(const DriverData& section, int iterations) {
    if (iterations > 0) return iterations;
    if (section.itpars.size() == 0) throw std::runtime_error("Section has no iteration count.");
    return static_cast<int>(std::floor(section.itpars[0] + 0.5));
}

void checkSectionShapes(const DriverData& section, const FitDirections& fit) {
    if (static_cast<int>(section.H.size()) != section.f.size())
        throw std::runtime_error("Section transfer data do not match its frequencies.");
    const int columns = section.transferColumns();
    for (const CMatrix& Hf : section.H) {
        if (Hf.cols() < columns || Hf.rows() != section.phi.size())
            throw std::runtime_error("Section transfer data do not match its angles and drivers.");
    }
    if (fit.angleIndex.size() > 0 && fit.angleIndex.maxCoeff() >= section.phi.size())
        throw std::runtime_error("Venue directions fall outside the section's angle grid.");
}

}  // namespace

FitDirections selectFitDirections(const IVector& angleIndex, const Vector& target,
                                  const Vector& distance, const Vector& weight, int gridSize,
                                  bool inactiveAsZero) {
    std::vector<DirectionRecord> records(angleIndex.size());
    for (int k = 0; k < angleIndex.size(); ++k)
        records[k] = {angleIndex[k], target[k], distance[k], weight[k]};
    std::stable_sort(records.begin(), records.end(), nearerCrossing);
    std::stable_sort(records.begin(), records.end(),
                     [](const DirectionRecord& a, const DirectionRecord& b) { return a.angleIndex < b.angleIndex; });

    // First record of each run of one direction: the nearest crossing.
    std::vector<DirectionRecord> merged;
    for (const DirectionRecord& r : records)
        if (merged.empty() || merged.back().angleIndex != r.angleIndex) merged.push_back(r);

    const bool anyToFit = std::any_of(merged.begin(), merged.end(),
                                      [](const DirectionRecord& r) { return !std::isnan(r.target); });
    if (!anyToFit) throw std::runtime_error("No venue item gives a direction to fit.");

    const int n = static_cast<int>(merged.size());
    IVector mIndex(n);
    Vector mTarget(n), mWeight(n);
    for (int k = 0; k < n; ++k) {
        mIndex[k] = merged[k].angleIndex;
        mTarget[k] = merged[k].target;
        mWeight[k] = merged[k].weight;
    }

    FitDirections fit;
    if (inactiveAsZero) {
        fit.angleIndex = mIndex;
        fit.target = mTarget;
        fit.weight = mWeight;
        return fit;
    }
    if (mIndex.maxCoeff() >= gridSize || mIndex.minCoeff() < 0)
        throw std::runtime_error("Venue directions fall outside the section's angle grid.");
    // The whole grid takes part; inactive items (NaN targets) leave it.
    const Vector gridTarget = scatterInto(gridSize, 0.0, mIndex, mTarget);
    const Vector gridWeight = scatterInto(gridSize, 0.0, mIndex, mWeight);
    fit.angleIndex = findIndices(gridTarget, [](double t) { return !std::isnan(t); });
    fit.target = gatherElements(gridTarget, fit.angleIndex);
    fit.weight = gatherElements(gridWeight, fit.angleIndex);
    return fit;
}

SectionResponse optimiseSection(const DriverData& section, double p1, double p2,
                                const std::vector<VenueItem>& items, const Vector& f_timbre,
                                const Vector& dB_timbre, bool inactiveAsZero, int iterations, FitCache* cache) {
    const IVector all = IVector::LinSpaced(section.f.size(), 0, section.f.size() - 1);
    return optimiseSection(section, all, p1, p2, items, f_timbre, dB_timbre, inactiveAsZero, iterations, cache);
}

SectionResponse optimiseSection(const DriverData& section, const IVector& frequencies, double p1, double p2,
                                const std::vector<VenueItem>& items, const Vector& f_timbre,
                                const Vector& dB_timbre, bool inactiveAsZero, int iterations, FitCache* cache) {
    checkLineOfSight(items, p1, p2, section.yshift);

    const SectionFrame frame = sectionFrame(p1, p2, section.yshift);
    const double angleStep = librarySettings().angleStep;
    std::vector<IVector> indices;
    std::vector<Vector> targets, distances, weights;
    for (const VenueItem& item : items) {
        VenueDirections d = venueDirections(item, frame, inactiveAsZero, angleStep);
        indices.push_back(std::move(d.angleIndex));
        targets.push_back(std::move(d.target));
        distances.push_back(std::move(d.distance));
        weights.push_back(std::move(d.weight));
    }
    const FitDirections fit =
        selectFitDirections(concatVectors(indices), concatVectors(targets), concatVectors(distances),
                            concatVectors(weights), section.phi.size(), inactiveAsZero);
    checkSectionShapes(section, fit);

    const int nDir = fit.angleIndex.size();
    const int nChan = section.driverpos.size();
    const int nFreq = frequencies.size();
    const Vector f = gatherElements(section.f, frequencies);

    // Propagation delay of each driver towards each direction, relative to the
    // mean, so that the fit works on the array's shape rather than its bulk delay.
    const Vector phiFit = gatherElements(section.phi, fit.angleIndex);
    Matrix dTau = (phiFit * section.driverpos.transpose()) / kSpeedOfSound;
    dTau.array() -= dTau.mean();

    // Targets shaped over frequency by the timbre curve.
    const Vector timbreGain = dbToAmplitude(interpLogX(f_timbre, dB_timbre, f, true)).col(0);
    const Matrix T = fit.target * timbreGain.transpose();

    const int nIter = iterationCount(section, iterations);
    const Vector loading = diagonalLoading(section.beta, nChan);
    const IVector weighted = findIndices(fit.weight, [](double w) { return w != 0.0; });
    const double nWeighted = weighted.size();
    double weightSum = 0.0;
    for (int k = 0; k < weighted.size(); ++k) weightSum += fit.weight[weighted[k]];

    SectionResponse result;
    result.freq = f;
    result.H = CMatrix::Zero(nChan, nFreq);

    // What each driver reads of the section's transfer data: a column (its
    // own, or its prototype's) at the rows of the fitted directions, counted
    // from the other end for a driver mounted upside down. Drivers that read
    // the same column the same way share one gathered copy per frequency.
    const int nRows = section.phi.size();
    const IVector mirroredRows = (nRows - 1 - fit.angleIndex.array()).matrix();
    std::vector<int> sourceOf(nChan);
    std::vector<std::pair<int, bool>> sources;
    for (int d = 0; d < nChan; ++d) {
        const std::pair<int, bool> key(section.transferColumn(d), section.transferMirrored(d));
        const auto at = std::find(sources.begin(), sources.end(), key);
        sourceOf[d] = static_cast<int>(at - sources.begin());
        if (at == sources.end()) sources.push_back(key);
    }
    const int nSources = static_cast<int>(sources.size());
    FitCache::Section* kept = cache ? &cache->section(dTau, loading, sourceOf, nFreq) : nullptr;
    StructuredGram structure(sourceOf, section.driverpos);

    // The frequencies are independent of one another: a second thread may
    // take half of them, each with its own workspace, and every frequency
    // comes out as it would alone. The direct Gram product goes through the
    // BLAS, whose single-threaded build must not be entered twice at once, so
    // a section without shared structure stays on one thread.
    const auto fitFrequencies = [&](int first, int last) {
        SplitTransfer G(nDir, nChan);
        CMatrix A(nChan, nChan);
        CVector x = CVector::Zero(nChan), h(nChan);
        Vector D(nDir), P(nDir);
        GramDecomposition qr(nChan, nChan);
        qr.setThreshold(kPivotThreshold);
        Matrix hRe(nDir, nSources), hIm(nDir, nSources);

        for (int c = first; c < last; ++c) {
            // G: the section's transfer data towards the fitted directions, with
            // the propagation phase at this frequency.
            const CMatrix& Hf = section.H[frequencies[c]];
            for (int k = 0; k < nSources; ++k) {
                const auto column = Hf.col(sources[k].first);
                const IVector& rows = sources[k].second ? mirroredRows : fit.angleIndex;
                for (int j = 0; j < nDir; ++j) {
                    const Complex hj = column[rows[j]];
                    hRe(j, k) = hj.real();
                    hIm(j, k) = hj.imag();
                }
            }
            // A driver higher up the column is nearer to a listener above it, so its
            // path is shorter by about phi x position: its phase leads, exp(+j w tau).
            // This is the sign of the sound-field model's exp(-j w r / c); the other
            // sign would aim every design at the mirror image of the venue.
            for (int d = 0; d < nChan; ++d)
                rotateByDelay(nDir, f[c], dTau.col(d).data(), hRe.col(sourceOf[d]).data(),
                              hIm.col(sourceOf[d]).data(), G.realColumn(d), G.imagColumn(d));

            // Gram matrix with loaded diagonal; decomposed once, reused by every
            // iteration (and by later designs while its inputs stay the same).
            const GramDecomposition* solver = kept ? kept->find(c, f[c], hRe, hIm) : nullptr;
            if (solver == nullptr) {
                G.gram(structure, A);
                A.diagonal().array() *= loading.array().cast<Complex>();
                qr.compute(A);
                if (kept) kept->store(c, f[c], hRe, hIm, qr);
                solver = &qr;
            }

            D = T.col(c);
            x.setZero();  // a zero iteration count gives zero weights
            for (int it = 0; it < nIter; ++it) {
                G.adjointTimes(D, h);
                x = solver->solve(h);
                G.magnitudesOf(x, P);

                // Level correction: 10 to the weighted mean dB error over 20 (NaN
                // without weighted directions, which leaves D below unchanged).
                double errorSum = 0.0;
                for (int k = 0; k < weighted.size(); ++k) {
                    const int j = weighted[k];
                    const double ratio = T(j, c) / P[j];
                    errorSum += 10.0 * std::log10(ratio * ratio) * fit.weight[j];
                }
                const double g = std::pow(10.0, (errorSum / nWeighted) / (weightSum / nWeighted) / 20.0);

                for (int j = 0; j < nDir; ++j) {
                    const double t = T(j, c);
                    if (t <= 0.0) {
                        D[j] = std::min(D[j], 10000.0 * t);
                        continue;
                    }
                    const double r = P[j] * g / t;
                    if (r > 0.0)
                        D[j] = std::min(D[j] / r, 10000.0 * t);
                    else if (r <= 0.0)
                        D[j] = 10000.0 * t;
                }
            }
            result.H.col(c) = x;
        }
    };
    const double terms = structure.worthwhile() ? double(nFreq) * nDir * nChan * std::max(nIter, 1) : 0.0;
    shareWithSecondThread(nFreq, terms, fitFrequencies);
    return result;
}

}  // namespace TalvekLib
