#include "filters/fir_design.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <vector>

#include "core/exceptions.h"

namespace TalvekLib {

namespace {

// Per column: the largest L1 norm of X and of its first n running sums
// (cumulative sums from the first row down), and the extremes of the n-th
// running sum. Streamed row by row, so the sums are never stored.
struct StageSummary {
    Vector norms;
    double lastMin = 0.0;
    double lastMax = 0.0;
};

StageSummary summariseStages(const Matrix& X, int n) {
    const int stages = std::max(n, 0) + 1;
    StageSummary out;
    out.norms.resize(X.cols());
    out.lastMin = std::numeric_limits<double>::infinity();
    out.lastMax = -std::numeric_limits<double>::infinity();
    // Four columns side by side: their running sums are independent chains the
    // processor overlaps, and each column sees the operations it would alone.
    constexpr int kLanes = 4;
    std::vector<double> sum(kLanes * stages), l1(kLanes * stages);
    for (int c0 = 0; c0 < X.cols(); c0 += kLanes) {
        const int lanes = std::min(kLanes, static_cast<int>(X.cols()) - c0);
        std::fill(sum.begin(), sum.end(), 0.0);
        std::fill(l1.begin(), l1.end(), 0.0);
        for (int i = 0; i < X.rows(); ++i) {
            for (int j = 0; j < lanes; ++j) {
                double* s = &sum[j * stages];
                double* a = &l1[j * stages];
                s[0] = X(i, c0 + j);
                a[0] += std::abs(s[0]);
                for (int k = 1; k < stages; ++k) {
                    s[k] += s[k - 1];
                    a[k] += std::abs(s[k]);
                }
                out.lastMin = std::min(out.lastMin, s[stages - 1]);
                out.lastMax = std::max(out.lastMax, s[stages - 1]);
            }
        }
        for (int j = 0; j < lanes; ++j)
            out.norms[c0 + j] = *std::max_element(l1.begin() + j * stages, l1.begin() + (j + 1) * stages);
    }
    return out;
}

// Round half up: floor(w * 2^shift + 0.5), channel by channel.
Matrix quantise(const Matrix& W, const IVector& shifts) {
    Matrix Q(W.rows(), W.cols());
    for (int c = 0; c < W.cols(); ++c) {
        const double scale = std::ldexp(1.0, shifts[c]);  // exact power of two
        Q.col(c) = ((W.col(c).array() * scale) + 0.5).floor().matrix();
    }
    return Q;
}

// D^T Q from the table's nonzeros, for a Q of whole numbers: every product
// and sum is an integer far below 2^53, so adding only the nonzero terms, in
// any order, gives the dense product's value exactly.
Matrix integerTransposeTimes(const DifferenceTableSet& set, const Matrix& Q) {
    Matrix E = Matrix::Zero(set.D.cols(), Q.cols());
    for (const DifferenceTriplet& t : set.nonzeros) E.row(t.column) += static_cast<double>(t.value) * Q.row(t.row);
    return E;
}

}  // namespace

int headroomBits(double v) {
    // An all-zero channel has nothing to fit into the range: give it the cap.
    if (!(v > 0.0)) return 32;
    // Formed as (quotient + 1) - 1e-9 so that exact powers of two keep their
    // exponent despite rounding in the logarithms.
    const double bits = std::log(v) / std::log(2.0) + 1.0 - 1e-9;
    return 32 - static_cast<int>(bits);
}

ChannelDesign designFirWeights(const Matrix& W, const DifferenceTableSet& set, int n) {
    if (W.rows() != set.D.rows()) {
        throw std::runtime_error("TalvekFIR design: the weights do not match the table set's rows.");
    }
    const int channels = W.cols();
    // Real filter A = D^T W: its stage norms set the shifts, the extremes of its
    // n-th running sum are checked at the end.
    const StageSummary real = summariseStages(set.Dt * W, n);
    const Vector& realNorms = real.norms;
    if (!realNorms.allFinite()) {
        throw std::runtime_error("TalvekFIR design: the steering weights are not finite.");
    }

    IVector shifts(channels);
    for (int c = 0; c < channels; ++c) shifts[c] = std::min(32, headroomBits(realNorms[c]));

    // The integer filter stays in doubles: its running sums may pass 2^32 before
    // the safe-range test lowers a shift, and every value is a whole number far
    // below 2^53, so it is exact.
    Matrix E;
    for (;;) {
        E = integerTransposeTimes(set, quantise(W, shifts));
        if (((E.array() - E.array().floor()) > 0.0).any()) throw FractionalCoefs();

        const Vector norms = summariseStages(E, n).norms;
        bool safe = true;
        for (int c = 0; c < channels; ++c) {
            if (headroomBits(norms[c]) < 0) {
                --shifts[c];
                safe = false;
            }
        }
        if (safe) break;
        std::cout << "TalvekFIR weight quantization pushed filter out of safe range. Re-scaling!"
                  << std::endl;
    }

    // Keep the tap positions at which some channel is nonzero.
    std::vector<int> kept;
    for (int i = 0; i < E.rows(); ++i)
        if ((E.row(i).array() != 0.0).any()) kept.push_back(i);

    ChannelDesign design;
    design.order = n;
    design.delaypick = Eigen::Map<const IVector>(kept.data(), static_cast<int>(kept.size()));
    design.weights.resize(static_cast<int>(kept.size()), channels);
    for (int k = 0; k < static_cast<int>(kept.size()); ++k)
        for (int c = 0; c < channels; ++c)
            // Through int64 so that a value past the int32 range wraps instead of
            // being undefined.
            design.weights(k, c) =
                static_cast<std::int32_t>(static_cast<std::int64_t>(E(kept[k], c)));
    design.outputshifts = shifts;

    // The real filter must fit the processor's coefficient range; checked on
    // the fully integrated real filter after the quantisation has settled.
    if (real.lastMax > 960.0 || real.lastMin < -961.0) {
        throw std::runtime_error("Unexpected Coefficient Clipping in TalvekFIR design process!");
    }
    return design;
}

}  // namespace TalvekLib
