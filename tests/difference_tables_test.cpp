// The three table sets: the third-difference operators D, and W0/W1 checked
// against their defining property (they invert the kernels' responses on the
// design grid) rather than against the generator's own arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <set>
#include <stdexcept>
#include <vector>

#include "core/lib_settings.h"
#include "filters/difference_tables.h"

namespace TalvekLib {
namespace {

struct OperatorCase {
    int set;
    int rows;
    std::set<int> strides;
    int firstColumn;  // lowest column of D touched
    int lastColumn;   // highest
};

void PrintTo(const OperatorCase& c, std::ostream* os) { *os << "set " << c.set; }

class DifferenceOperator : public ::testing::TestWithParam<OperatorCase> {};

TEST_P(DifferenceOperator, RowsAreSlidingThirdDifferences) {
    const OperatorCase& p = GetParam();
    const IMatrix& D = getDifferenceTableSet(p.set).D;
    ASSERT_EQ(D.rows(), p.rows);
    ASSERT_EQ(D.cols(), kTapCount);
    int lowest = kTapCount, highest = -1;
    for (int r = 0; r < D.rows(); ++r) {
        std::vector<int> cols;
        for (int c = 0; c < D.cols(); ++c)
            if (D(r, c) != 0) cols.push_back(c);
        ASSERT_EQ(cols.size(), 4u) << "row " << r;
        const int s = cols[1] - cols[0];
        EXPECT_TRUE(p.strides.count(s)) << "row " << r << " stride " << s;
        EXPECT_EQ(cols[2] - cols[1], s);
        EXPECT_EQ(cols[3] - cols[2], s);
        EXPECT_EQ(D(r, cols[0]), 1);
        EXPECT_EQ(D(r, cols[1]), -3);
        EXPECT_EQ(D(r, cols[2]), 3);
        EXPECT_EQ(D(r, cols[3]), -1);
        lowest = std::min(lowest, cols[0]);
        highest = std::max(highest, cols[3]);
    }
    EXPECT_EQ(lowest, p.firstColumn);
    EXPECT_EQ(highest, p.lastColumn);
}

INSTANTIATE_TEST_SUITE_P(Sets, DifferenceOperator,
                         ::testing::Values(OperatorCase{0, 42, {8, 16, 32, 64, 128}, 14, 2198},
                                           OperatorCase{1, 39, {16, 32, 64, 128}, 3, 2211},
                                           OperatorCase{2, 57, {2, 4, 8, 16}, 933, 1289}));

TEST(DifferenceOperator, KnownRows) {
    const IMatrix& two = getDifferenceTableSet(2).D;
    EXPECT_EQ(two(0, 1108), 1);
    EXPECT_EQ(two(0, 1110), -3);
    EXPECT_EQ(two(0, 1112), 3);
    EXPECT_EQ(two(0, 1114), -1);
    const IMatrix& one = getDifferenceTableSet(1).D;
    const int last = one.rows() - 1;
    EXPECT_EQ(one(last, 3), 1);
    EXPECT_EQ(one(last, 131), -3);
    EXPECT_EQ(one(last, 259), 3);
    EXPECT_EQ(one(last, 387), -1);
}

TEST(DifferenceTableSets, BuiltOnceAndIndexChecked) {
    for (int s = 0; s < 3; ++s) {
        EXPECT_EQ(&getDifferenceTableSet(s), &getDifferenceTableSet(s));
        EXPECT_EQ(getDifferenceTableSet(s).order, 3);
    }
    EXPECT_THROW(getDifferenceTableSet(-1), std::out_of_range);
    EXPECT_THROW(getDifferenceTableSet(3), std::out_of_range);
}

// Columns of the design grid that no resampling stencil reaches: zero in every
// row of all six tables, every other entry nonzero.
TEST(FitTables, SharedSparsityPattern) {
    std::set<int> zero;
    for (int c : {61, 66}) zero.insert(c);
    for (auto [a, b] : std::vector<std::pair<int, int>>{{3, 17}, {22, 32}, {37, 42}, {47, 49}, {54, 56}})
        for (int c = a; c <= b; ++c) zero.insert(c);
    ASSERT_EQ(zero.size(), 40u);
    for (int s = 0; s < 3; ++s) {
        const DifferenceTableSet& set = getDifferenceTableSet(s);
        for (const Matrix* W : {&set.W0, &set.W1}) {
            ASSERT_EQ(W->rows(), set.D.rows());
            ASSERT_EQ(W->cols(), 216);
            for (int c = 0; c < 216; ++c)
                for (int r = 0; r < W->rows(); ++r) {
                    if (zero.count(c)) {
                        EXPECT_EQ((*W)(r, c), 0.0) << "set " << s << " (" << r << ", " << c << ")";
                    } else {
                        EXPECT_NE((*W)(r, c), 0.0) << "set " << s << " (" << r << ", " << c << ")";
                    }
                }
        }
    }
}

// Row 0, columns 0..2 of every table as published to 11 significant digits;
// also fixes the row-major to column-major copy.
TEST(FitTables, TellingValues) {
    const double expected[3][2][3] = {
        {{7.5817029142e-06, 6.3504782062e-05, -5.0035184315e-05},
         {1.2187788755e-09, 1.3729044075e-07, -1.0794475014e-07}},
        {{1.902744002e-06, 1.593896793e-05, -1.2558254233e-05},
         {1.4046295722e-09, 1.5822575936e-07, -1.2440516592e-07}},
        {{1.2167873539e-04, 1.0191229011e-03, -8.02963187e-04},
         {-1.2829691566e-08, -1.4452121261e-06, 1.1362995195e-06}}};
    for (int s = 0; s < 3; ++s) {
        const DifferenceTableSet& set = getDifferenceTableSet(s);
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(set.W0(0, c), expected[s][0][c], 1e-9 * std::abs(expected[s][0][c]));
            EXPECT_NEAR(set.W1(0, c), expected[s][1][c], 1e-9 * std::abs(expected[s][1][c]));
        }
    }
}

struct PropertyCase {
    int set;
    double diagLow, diagHigh;  // range of the diagonal of W0 Re F + W1 Im F
    double offMax;             // largest off-diagonal magnitude
    double maxW0, maxW1;       // largest table entries
};

void PrintTo(const PropertyCase& c, std::ostream* os) { *os << "set " << c.set; }

class FitProperty : public ::testing::TestWithParam<PropertyCase> {};

// With F(k, r) = B_r(f_k) exp(j 2 pi f_k 1109 / fs), B_r the response of
// kernel r (row r of D summed three times), W0 Re F + W1 Im F over the used
// columns is close to the identity. The kernels and their responses are built
// here directly from D.
TEST_P(FitProperty, TablesInvertTheKernelResponses) {
    const PropertyCase& p = GetParam();
    const DifferenceTableSet& set = getDifferenceTableSet(p.set);
    const double fs = librarySettings().sampleRate;
    const Vector grid = outputFrequencies(librarySettings());
    const int R = set.D.rows();

    Matrix kernels = set.D.cast<double>();
    for (int stage = 0; stage < 3; ++stage)
        for (int i = 1; i < kTapCount; ++i) kernels.col(i) += kernels.col(i - 1);

    std::vector<int> used;
    for (int k = 0; k < 216; ++k)
        if (set.W0.col(k).any() || set.W1.col(k).any()) used.push_back(k);
    ASSERT_EQ(used.size(), 176u);

    Matrix product = Matrix::Zero(R, R);
    for (int k : used) {
        const double f = k == 0 ? 0.0 : grid[k - 1];
        CVector phasor(kTapCount);
        for (int t = 0; t < kTapCount; ++t)
            phasor[t] = std::polar(1.0, -2.0 * kPi * f * (t - kReferenceTap) / fs);
        const CVector F = kernels.cast<Complex>() * phasor;  // F(k, :)
        product += set.W0.col(k) * F.real().transpose() + set.W1.col(k) * F.imag().transpose();
    }
    const Vector diag = product.diagonal();
    EXPECT_GE(diag.minCoeff(), p.diagLow);
    EXPECT_LE(diag.maxCoeff(), p.diagHigh);
    Matrix off = product;
    off.diagonal().setZero();
    // Figures of the fit to three digits.
    EXPECT_NEAR(off.cwiseAbs().maxCoeff(), p.offMax, 1e-3);
    EXPECT_NEAR(set.W0.cwiseAbs().maxCoeff(), p.maxW0, 1e-3 * p.maxW0);
    EXPECT_NEAR(set.W1.cwiseAbs().maxCoeff(), p.maxW1, 1e-3 * p.maxW1);
}

INSTANTIATE_TEST_SUITE_P(Sets, FitProperty,
                         ::testing::Values(PropertyCase{0, 0.997, 1.0, 0.782, 1.112e-4, 1.018e-4},
                                           PropertyCase{1, 0.997, 1.0, 0.298, 1.594e-5, 1.432e-5},
                                           PropertyCase{2, 0.924, 0.9996, 0.074, 5.338e-3, 5.335e-3}));

}  // namespace
}  // namespace TalvekLib
