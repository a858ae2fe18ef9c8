// The filters layer: the section rules scipy cannot check, the quantised FIR
// design (headroom, re-scaling, clipping, the sparse result, the whole chain
// back to the response it was designed for), the steering-filter taps and
// responses rebuilt from the quantised record, and the processor files read
// back byte by byte. Responses and Butterworth designs are cross-checked against
// scipy.signal in tests/python/test_filters_vs_scipy.py.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "filters/sf_response.h"
#include "filters/butterworth.h"
#include "filters/channel_filter_design.h"
#include "filters/filter.h"
#include "filters/fir_design.h"
#include "filters/output_files.h"
#include "filters/sos.h"
#include "filters/difference_tables.h"
#include "core/lib_settings.h"
#include "test_support.h"

using namespace TalvekLib;
using talvek_test::errorOf;
using talvek_test::TempDir;
namespace fs = std::filesystem;

// ---------------------------------------------------------------- FIR design

namespace {

ChannelDesign design(const Matrix& W, int set) { return designFirWeights(W, getDifferenceTableSet(set), 3); }

Matrix rowWeights(int set, std::initializer_list<int> rows, double value) {
    Matrix W = Matrix::Zero(getDifferenceTableSet(set).D.rows(), 1);
    for (int r : rows) W(r, 0) = value;
    return W;
}

// The taps of channel c rebuilt independently: stored rows at their
// positions, `order` running sums, scaled by 2^-shift.
Vector rebuildTaps(const ChannelDesign& d, int c) {
    Vector h = Vector::Zero(kTapCount);
    for (int k = 0; k < d.delaypick.size(); ++k) h[d.delaypick[k]] = d.weights(k, c);
    for (int stage = 0; stage < d.order; ++stage)
        for (int i = 1; i < h.size(); ++i) h[i] += h[i - 1];
    return h * std::pow(2.0, -d.outputshifts[c]);
}

}  // namespace

TEST(FirDesign, HeadroomBits) {
    const std::pair<double, int> cases[] = {
        {0x1p10 * (1 + 1e-13), 22}, {0x1p10 * (1 - 1e-13), 22},  // within the 1e-9 tolerance of the exponent
        {0x1p10 * (1 + 1e-8), 21}, {0x1p32 + 8, -1}, {0.999, 32}, {0.25, 33}, {0.0, 32}};
    for (const auto& [v, bits] : cases) EXPECT_EQ(headroomBits(v), bits) << v;
    for (int k = 0; k <= 60; ++k) EXPECT_EQ(headroomBits(std::ldexp(1.0, k)), 32 - k) << k;
}

// Set 2, row 0 alone has stage norms 8, 8, 6, 8 times its weight: a norm of
// exactly 2^k gives shift 32 - k (the quantised norm lands on 2^32, still in
// range), a little more one bit less. Rows 0, 4 and 8 have disjoint taps:
// channel 0 below is chosen so that rounding each scaled weight 178956970.5 up
// makes the quantised norm 24 * 178956971 = 2^32 + 8, out of range, so one
// re-scaling pass lowers channel 0 alone to shift 19.
TEST(FirDesign, ShiftsFollowTheStageNormsAndRescaleOnlyTheChannelThatOverflows) {
    for (int k : {0, 3, 10}) {
        EXPECT_EQ(design(rowWeights(2, {0}, std::ldexp(1.0, k) / 8), 2).outputshifts[0], 32 - k);
        EXPECT_EQ(design(rowWeights(2, {0}, std::ldexp(1.0, k) / 8 * (1 + 1e-6)), 2).outputshifts[0], 31 - k);
    }
    Matrix W = Matrix::Zero(getDifferenceTableSet(2).D.rows(), 2);
    for (int r : {0, 4, 8}) W(r, 0) = 178956970.5 / 0x1p20, W(r, 1) = 1.0;
    testing::internal::CaptureStdout();
    const ChannelDesign both = design(W, 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "TalvekFIR weight quantization pushed filter out of safe range. Re-scaling!\n");
    EXPECT_EQ(both.outputshifts, (IVector(2) << 19, 27).finished());
    EXPECT_EQ(both.weights(0, 0), 89478485);  // floor(89478485.25 + 0.5)
    const ChannelDesign alone = design(W.col(1), 2);
    EXPECT_EQ(alone.weights.col(0), both.weights.col(1));
    // Rounding is half up: a weight of 0.5 + 1e-9 units at shift 32 - 3.
    EXPECT_EQ(design(rowWeights(2, {0}, 1.0), 2).weights(0, 0), 1 << 29);
    EXPECT_EQ(design(rowWeights(2, {0}, (0x1p29 - 0.5) / 0x1p29), 2).weights(0, 0), 1 << 29);
}

// Rows 0 and 1 of set 2 overlap into a peak of 4x their weight: the real
// filter must stay within -961 .. 960.
TEST(FirDesign, ClippingLimitsAndMalformedWeights) {
    const struct { double weight; bool clips; } cases[] = {{240.0, false}, {240.125, true}, {-240.25, false}, {-240.375, true}};
    for (const auto& c : cases)
        EXPECT_EQ(errorOf([&] { design(rowWeights(2, {0, 1}, c.weight), 2); }),
                  c.clips ? "Unexpected Coefficient Clipping in TalvekFIR design process!" : "")
            << c.weight;
    EXPECT_THROW(design(Matrix::Zero(5, 1), 2), std::runtime_error);
    EXPECT_THROW(design(rowWeights(2, {3}, std::nan("")), 2), std::runtime_error);
}

TEST(FirDesign, KeepsOnlyNonzeroTaps) {
    // Rows 0 and 1 of set 2 with equal weights cancel at tap 1112.
    const ChannelDesign two = design(rowWeights(2, {0, 1}, 1.0), 2);
    const int p = two.weights(0, 0);
    EXPECT_EQ(two.delaypick, (IVector(4) << 1108, 1110, 1114, 1116).finished());
    EXPECT_EQ(two.weights.col(0), (IVector(4) << p, -2 * p, 2 * p, -p).finished());
    EXPECT_EQ(two.order, 3);
}

namespace {

Complex butterworth2(double f, double fc, bool highPass) {
    const Complex s(0.0, f / fc);
    return (highPass ? s * s : Complex(1.0)) / (s * s + std::sqrt(2.0) * s + 1.0);
}

// Per channel a delay about the reference tap, a taper with one inverted
// channel and a common band shape, on 0 Hz + the 215 output frequencies.
template <typename Shape>
CMatrix steeringTarget(const Vector& f, int channels, double delayStep, Shape shape) {
    CMatrix H(channels, f.size());
    for (int m = 0; m < channels; ++m) {
        const double gain = (m == 3 ? -0.5 : 0.5) * (1 + std::cos(-1.0 + 2.0 * m / (channels - 1)));
        for (int k = 0; k < f.size(); ++k)
            H(m, k) = gain * std::polar(1.0, -2 * kPi * f[k] * (m - (channels - 1) / 2.0) * delayStep / 96000) * shape(f[k]);
    }
    return H / H.cwiseAbs().maxCoeff();
}

Vector designGrid() {
    Vector f(216);
    f << 0.0, outputFrequencies(librarySettings());
    return f;
}

NormalisedResponse withoutDc(const CMatrix& H) {
    NormalisedResponse r;
    r.H = H.rightCols(H.cols() - 1);
    r.peak = 1.0;
    return r;
}

// Largest |rebuilt response, referred to the reference tap - target| in [fLow, fHigh].
double reproductionError(const ChannelDesign& d, const CMatrix& target, const Vector& f, double fLow, double fHigh) {
    double worst = 0.0;
    for (int m = 0; m < target.rows(); ++m) {
        const Vector h = rebuildTaps(d, m);
        for (int k = 0; k < f.size(); ++k) {
            if (f[k] < fLow || f[k] > fHigh) continue;
            Complex sum = 0.0;
            for (int t = 0; t < h.size(); ++t)
                if (h[t] != 0.0) sum += h[t] * std::polar(1.0, -2.0 * kPi * f[k] * (t - kReferenceTap) / 96000);
            worst = std::max(worst, std::abs(sum - target(m, k)));
        }
    }
    return worst;
}

}  // namespace

// The real proof of the tables: a woofer-like response (low-pass at 1 kHz,
// delays up to +-45 samples) with set 1 and its DC point, and a tweeter-like
// one (band-pass 1..12 kHz) with set 2 on the top columns, come back from the
// integer filters to within 2e-3 and 1e-2 of the peak.
TEST(ChannelFilterDesign, RebuiltFiltersReproduceTheTarget) {
    const Vector f = designGrid();
    const CMatrix woofer = steeringTarget(f, 16, 6.0, [](double x) { return butterworth2(x, 1000.0, false); });
    const ChannelDesign wf = designChannelFilters(withoutDc(woofer), true, true, false);
    EXPECT_LT(reproductionError(wf, woofer, f, 0.0, 1000.0), 2e-3);
    const CMatrix tweeter = steeringTarget(f, 16, 2.4, [](double x) {
        return butterworth2(x, 1000.0, true) * butterworth2(x, 12000.0, false);
    });
    const ChannelDesign tw = designChannelFilters(withoutDc(tweeter), false, true, true);
    EXPECT_LT(reproductionError(tw, tweeter, f, 1000.0, 8000.0), 1e-2);
    // N frequencies sit on design columns 1..N, or with highBand on the last
    // N: the same as the whole grid with the other columns zero.
    for (bool highBand : {false, true}) {
        const int first = highBand ? 96 : 1;
        NormalisedResponse part, padded = withoutDc(CMatrix::Zero(16, 216));
        part.H = tweeter.middleCols(first, 120);
        padded.H.middleCols(first - 1, 120) = part.H;
        const ChannelDesign a = designChannelFilters(part, false, true, highBand);
        const ChannelDesign b = designChannelFilters(padded, false, true, highBand);
        for (int m = 0; m < 16; ++m)
            EXPECT_LT((rebuildTaps(a, m) - rebuildTaps(b, m)).cwiseAbs().maxCoeff(),
                      1e-6 * rebuildTaps(b, m).cwiseAbs().maxCoeff()) << highBand << " channel " << m;
    }
}

// ---------------------------------------------------------------- steering-filter responses

namespace {

ChannelDesign oneChannel(int order, std::vector<int> pick, std::vector<int> w, int shift, double gain) {
    ChannelDesign cd;
    cd.order = order;
    cd.outputgain = gain;
    cd.delaypick = Eigen::Map<IVector>(pick.data(), static_cast<int>(pick.size()));
    cd.weights = Eigen::Map<IMatrix>(w.data(), static_cast<int>(w.size()), 1);
    cd.outputshifts = IVector::Constant(1, shift);
    return cd;
}

}  // namespace

TEST(SteeringResponses, TapsAreIntegratedAndScaled) {
    const std::pair<ChannelDesign, std::vector<double>> cases[] = {
        {oneChannel(0, {1, 3}, {8, -4}, 2, 0.5), {0, 1, 0, -0.5}},   // times 2^-2 and the gain
        {oneChannel(1, {4}, {6}, 1, 2.0), {0, 0, 0, 0, 6}},          // one running sum
        {oneChannel(2, {0, 2}, {1, -1}, 0, 1.0), {1, 2, 2}},         // [1 0 -1] -> [1 1 0] -> [1 2 2]
        {oneChannel(-1, {0, 2}, {1, -1}, 0, 1.0), {1, 0, -1}}};      // no stage
    for (const auto& [cd, taps] : cases)
        EXPECT_EQ(channelTaps(cd, 0), Eigen::Map<const Vector>(taps.data(), taps.size())) << cd.order;
    ChannelDesign empty;
    empty.weights.resize(0, 2);
    empty.outputshifts = IVector::Zero(2);
    EXPECT_EQ(channelResponses(empty, Vector::LinSpaced(4, 100, 400), 96000).cwiseAbs().maxCoeff(), 0.0);
    ChannelDesign good = oneChannel(0, {0, 2}, {1, 1}, 0, 1.0);
    ChannelDesign fewShifts = good, fewRows = good, outside = good;
    fewShifts.outputshifts.resize(0);
    fewRows.delaypick = IVector::Constant(1, 0);
    outside.delaypick << 5, 2;
    for (const ChannelDesign* bad : {&good, &fewShifts, &fewRows, &outside})
        EXPECT_THROW(channelTaps(*bad, bad == &good ? 1 : 0), std::runtime_error);
}

TEST(SteeringResponses, EqualTheDirectSumOfEveryChannel) {
    ChannelDesign cd;
    cd.order = 1;
    cd.outputgain = 0.8;
    cd.delaypick = (IVector(4) << 0, 3, 7, 12).finished();
    cd.weights.resize(4, 3);
    cd.weights << 5, -2, 9, 0, 7, -3, -6, 1, 4, 2, -8, 0;
    cd.outputshifts = (IVector(3) << 3, 0, 5).finished();
    const Vector f = (Vector(5) << 0.0, 20.0, 1000.0, 12345.6, 48000.0).finished();
    const CMatrix H = channelResponses(cd, f, 96000.0);
    for (int c = 0; c < 3; ++c) {
        std::vector<double> h(13, 0.0);
        for (int i = 0; i < 4; ++i) h[cd.delaypick[i]] = cd.weights(i, c);
        for (int i = 1; i < 13; ++i) h[i] += h[i - 1];
        for (int n = 0; n < f.size(); ++n) {
            Complex sum(0.0, 0.0);
            for (int m = 0; m < 13; ++m)
                sum += h[m] * cd.outputgain / std::ldexp(1.0, cd.outputshifts[c]) * std::polar(1.0, -2 * kPi * f[n] * m / 96000);
            EXPECT_LT(std::abs(H(n, c) - sum), 1e-12 * (1.0 + std::abs(sum))) << "c " << c << " f " << f[n];
        }
    }
}

// The response runs Horner's rule over blocks of frequencies at once; every
// frequency must still get exactly the bits of the one-at-a-time evaluation,
// whatever block it falls in (the library's files depend on it).
TEST(SteeringResponses, BlockEvaluationGivesTheBitsOfTheScalarOne) {
    Vector b(1500);
    for (int i = 0; i < b.size(); ++i) b[i] = std::sin(0.37 * i) * (1000 - i % 977) + (i % 5 == 0 ? 0.0 : 0.25);
    const FIRFilter fir(b);
    const Vector f = Vector::LinSpaced(45, 15.0, 47000.0);  // a full wide block and a part-filled one
    const CVector H = fir.response(f, 96000.0);
    for (int n = 0; n < f.size(); ++n) {
        const double w = (kPi * (2.0 * f[n])) / 96000.0;
        const Complex scalar = polyval(b, std::exp(Complex(0.0, w))) /
                               std::exp(Complex(0.0, static_cast<double>(b.size() - 1)) * w);
        EXPECT_EQ(H[n], scalar) << f[n];
        EXPECT_EQ(fir.response(f.segment(n, 1), 96000.0)[0], H[n]) << f[n];  // a narrow block
    }
}

// ---------------------------------------------------------------- processor files

namespace {

// Reads little-endian values back in file order.
class FileReader {
public:
    explicit FileReader(const fs::path& p) : bytes_(talvek_test::readFile(p)) {}
    int32_t int32() { return static_cast<int32_t>(bits(4)); }
    double float64() {
        const uint64_t u = bits(8);
        double v;
        std::memcpy(&v, &u, sizeof v);
        return v;
    }
    bool atEnd() const { return at_ == bytes_.size(); }
    std::size_t size() const { return bytes_.size(); }

private:
    uint64_t bits(int n) {
        if (at_ + n > bytes_.size()) throw std::runtime_error("read past the end of the file");
        uint64_t u = 0;
        for (int b = 0; b < n; ++b) u |= static_cast<uint64_t>(static_cast<unsigned char>(bytes_[at_++])) << (8 * b);
        return u;
    }
    std::string bytes_;
    std::size_t at_ = 0;
};

// Channels with distinguishable weights: weight(i, c) = 100 c + i + 1.
ChannelDesign channels(int count, std::vector<int> pick, int order, double gain) {
    ChannelDesign cd;
    cd.order = order;
    cd.outputgain = gain;
    cd.delaypick = Eigen::Map<IVector>(pick.data(), static_cast<int>(pick.size()));
    cd.weights.resize(cd.delaypick.size(), count);
    cd.outputshifts.resize(count);
    for (int c = 0; c < count; ++c) {
        for (int i = 0; i < cd.delaypick.size(); ++i) cd.weights(i, c) = 100 * c + i + 1;
        cd.outputshifts[c] = c % 5;
    }
    return cd;
}

SpeakerDesign speakerDesign(int arraytype, int wfChannels, int twChannels) {
    SpeakerDesign d;
    d.arraytype = arraytype;
    d.wfeqValue = 1.0;
    d.wf = channels(wfChannels, {3, 5, 9}, 2, 0.75);
    d.twoway = twChannels > 0;
    if (d.twoway) d.tw = channels(twChannels, {0, 4}, 1, 1.0);
    return d;
}

void expectBlock(FileReader& in, const ChannelDesign& cd, int first, int last) {
    const int rows = cd.delaypick.size();
    EXPECT_EQ(in.int32(), cd.delaypick.maxCoeff() + 2);
    EXPECT_EQ(in.int32(), cd.order);
    EXPECT_EQ(in.int32(), rows);
    EXPECT_EQ(in.int32(), last - first + 1);
    for (int i = 0; i < rows; ++i) EXPECT_EQ(in.int32(), cd.delaypick[i] + 1);
    for (int c = first; c <= last; ++c)
        for (int i = 0; i < rows; ++i) EXPECT_EQ(in.int32(), 100 * c + i + 1) << "channel " << c;
    for (int c = first; c <= last; ++c) EXPECT_EQ(in.int32(), c % 5);
    EXPECT_EQ(in.int32(), static_cast<int32_t>(std::trunc(65536.0 * cd.outputgain + 0.5)));
}

}  // namespace

TEST(OutputFiles, FilterSetFilesHoldOneBlockPerSectionOfTheBox) {
    // Array type 3: box 1 = woofers 1-8; box 2 = woofers 9-16 and tweeters 1-8.
    TempDir dir("talvek-bef");
    const std::string base = (dir.path() / "col").string();
    const SpeakerDesign d = speakerDesign(3, 16, 8);
    writeFilterSetFiles(base, d, librarySettings());
    FileReader box1(base + "_box1.bef"), box2(base + "_box2.bef");
    EXPECT_EQ(box1.int32(), 2);
    EXPECT_EQ(box1.int32(), 1);
    expectBlock(box1, d.wf, 0, 7);
    EXPECT_TRUE(box1.atEnd());
    EXPECT_EQ(box2.int32(), 2);
    EXPECT_EQ(box2.int32(), 2);
    expectBlock(box2, d.wf, 8, 15);
    expectBlock(box2, d.tw, 0, 7);
    EXPECT_TRUE(box2.atEnd());
    EXPECT_FALSE(fs::exists(base + "_box3.bef"));
}

TEST(OutputFiles, ResponseFileHoldsTheGridAndEveryChannelResponse) {
    const Vector grid = responseFileGrid();
    ASSERT_EQ(grid.size(), 241);
    EXPECT_NEAR(grid[0], 20.0, 1e-12);
    EXPECT_NEAR(grid[80] / grid[0], 10.0, 1e-12);  // 80 points per decade
    EXPECT_NEAR(grid[240], 20000.0, 1e-9);
    for (const int tw : {0, 8}) {
        TempDir dir("talvek-sfr");
        const std::string base = (dir.path() / "r").string();
        const SpeakerDesign d = speakerDesign(tw ? 2 : 1, 8, tw);
        writeResponseFile(base, d, librarySettings());
        FileReader in(base + "_SFR.bin");
        EXPECT_EQ(in.size(), 8u * (2 + 241 + 2 * 241 * 8 + (tw ? 1 + 2 * 241 * tw : 0)));
        EXPECT_EQ(in.float64(), 241.0);
        EXPECT_EQ(in.float64(), 8.0);
        for (int i = 0; i < 241; ++i) EXPECT_EQ(in.float64(), grid[i]);
        for (const ChannelDesign* cd : {&d.wf, &d.tw}) {
            if (cd == &d.tw && !tw) break;
            if (cd == &d.tw) EXPECT_EQ(in.float64(), 8.0);
            const CMatrix H = channelResponses(*cd, grid, 96000.0);
            for (int c = 0; c < H.cols(); ++c)
                for (int n = 0; n < H.rows(); ++n) {
                    EXPECT_EQ(in.float64(), H(n, c).real());
                    EXPECT_EQ(in.float64(), H(n, c).imag());
                }
        }
        EXPECT_TRUE(in.atEnd());
    }
}

// Nothing is written unless everything can be: a blocked file, or a design
// the files cannot describe, leaves the folder as it was.
TEST(OutputFiles, FailuresLeaveNoFileBehind) {
    TempDir dir("talvek-fail");
    const std::string base = (dir.path() / "x").string();
    fs::create_directory(base + "_box2.bef");
    EXPECT_EQ(errorOf([&] { writeFilterSetFiles(base, speakerDesign(3, 16, 8), librarySettings()); }),
              "Unable to create file " + base + "_box2.bef.");
    fs::remove(base + "_box2.bef");
    fs::create_directory(base + "_SFR.bin");
    EXPECT_THROW(writeFilterSetFiles(base, speakerDesign(3, 16, 8), librarySettings()), std::runtime_error);
    fs::remove(base + "_SFR.bin");
    EXPECT_TRUE(fs::is_empty(dir.path()));

    SpeakerDesign noTaps = speakerDesign(2, 8, 8), badType = speakerDesign(1, 8, 0);
    noTaps.tw = channels(8, {}, 0, 1.0);
    badType.arraytype = 11;
    EXPECT_THROW(writeFilterSetFiles(base, noTaps, librarySettings()), std::runtime_error);
    EXPECT_THROW(writeResponseFile(base, noTaps, librarySettings()), std::runtime_error);
    EXPECT_THROW(writeFilterSetFiles(base, badType, librarySettings()), std::runtime_error);
    EXPECT_THROW(writeFilterSetFiles(base, speakerDesign(3, 8, 8), librarySettings()), std::runtime_error);  // too few channels
    EXPECT_TRUE(fs::is_empty(dir.path()));
}
