// Driver sections: crossover blend weights, the Linkwitz-Riley crossover, the
// band reduction, the packing step and the copies the design pipeline uses.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "core/exceptions.h"
#include "core/lib_settings.h"
#include "filters/butterworth.h"
#include "model/driver_data.h"
#include "model/model_cache.h"
#include "test_support.h"

using namespace TalvekLib;

namespace {

constexpr double kFs = 96000.0;

Vector frequencies(std::initializer_list<double> values) {
    Vector f(static_cast<int>(values.size()));
    int i = 0;
    for (double v : values) f[i++] = v;
    return f;
}

// A section on the output grid whose matrix k holds the value k, so that the
// surviving matrices can be traced back to their frequencies.
WfData wooferOnOutputGrid() {
    WfData s;
    s.f = outputFrequencies(librarySettings());
    for (int k = 0; k < s.f.size(); ++k) s.H.push_back(CMatrix::Constant(3, 2, Complex(k, 0)));
    return s;
}

}  // namespace

// ---------------------------------------------------------------- bandWeight

TEST(BandWeight, RaisedCosineBetweenTheBandEdges) {
    const double f1 = 1000 * std::pow(2.0, -0.5);  // 707.107 Hz
    const double f2 = 1000 * std::pow(2.0, 0.5);   // 1414.21 Hz
    EXPECT_NEAR(f1, 707.107, 1e-3);
    EXPECT_NEAR(f2, 1414.21, 1e-2);
    const Vector f = frequencies({500, f1, 1000 * std::pow(2.0, -0.25), 1000, f2, 2000});
    const Vector low = bandWeight(f, 1000, 1, false);
    const Vector high = bandWeight(f, 1000, 1, true);
    // The band edges themselves are outside the blend (strict comparisons).
    const double expectedLow[] = {1, 1, (std::cos(kPi / 4) + 1) / 2, 0.5, 0, 0};
    for (int i = 0; i < f.size(); ++i) {
        EXPECT_NEAR(low[i], expectedLow[i], 1e-12) << f[i];
        EXPECT_NEAR(high[i], 1 - expectedLow[i], 1e-12) << f[i];
    }
    EXPECT_NEAR(bandWeight(frequencies({f1 * 1.000001}), 1000, 1, false)[0], 1.0, 1e-9);
    EXPECT_NEAR(bandWeight(frequencies({f2 * 0.999999}), 1000, 1, false)[0], 0.0, 1e-9);
}

TEST(BandWeight, SidesAddUpToOneAndFallMonotonically) {
    const Vector f = outputFrequencies(librarySettings());
    const Vector low = bandWeight(f, 2000, 1.5, false);
    const Vector high = bandWeight(f, 2000, 1.5, true);
    for (int i = 0; i < f.size(); ++i) {
        EXPECT_NEAR(low[i] + high[i], 1.0, 1e-15) << f[i];
        if (i > 0) EXPECT_LE(low[i], low[i - 1]) << f[i];
    }
}

// ---------------------------------------------------------------- designCrossover

TEST(DesignCrossover, LinkwitzRileyIsTheButterworthTwice) {
    const double fx = 2000;
    for (int order : {4, 8}) {
        WfData wf;
        wf.f = frequencies({100, fx, 20000});
        const Matrix S = wf.designCrossover(fx, kFs, 1, order);
        const Matrix B = butterSosLowpass(order / 2, fx * 2 / kFs);
        ASSERT_EQ(S.rows(), order / 2) << order;  // order 4: one section twice; order 8: two sections twice
        EXPECT_EQ(S.topRows(B.rows()), B);
        EXPECT_EQ(S.bottomRows(B.rows()), B);

        TwData tw;
        tw.f = wf.f;
        const Matrix T = tw.designCrossover(fx, kFs, 1, order);
        EXPECT_EQ(T.topRows(order / 4), butterSosHighpass(order / 2, fx * 2 / kFs));

        // At fx the Linkwitz-Riley magnitude is 1/2 and the blend weight 1/2:
        // the steering filters supply unity there. Far inside the pass band
        // they supply about 1, outside it nothing.
        EXPECT_NEAR(wf.crossoverTarget[1], 1.0, 1e-9) << order;
        EXPECT_NEAR(tw.crossoverTarget[1], 1.0, 1e-9) << order;
        EXPECT_NEAR(wf.crossoverTarget[0], 1.0, 1e-4) << order;
        EXPECT_EQ(wf.crossoverTarget[2], 0.0);
        EXPECT_EQ(tw.crossoverTarget[0], 0.0);
        EXPECT_NEAR(tw.crossoverTarget[2], 1.0, 1e-3) << order;
    }
}

TEST(DesignCrossover, OrderBelowFourIsNoFilterAtAll) {
    // Orders 0 and 1 have half 0: no sections, the target is the blend weight.
    for (int order : {0, 1}) {
        WfData wf;
        wf.f = frequencies({100, 1000, 2000, 3000});
        const Matrix S = wf.designCrossover(2000, kFs, 1, order);
        EXPECT_EQ(S.rows(), 0);
        EXPECT_EQ(wf.crossoverTarget, bandWeight(wf.f, 2000, 1, false));
    }
}

TEST(DesignCrossover, OddHalfOrderFailsAfterTheWork) {
    for (int order : {2, 6}) {
        WfData wf;
        wf.f = frequencies({100, 1000});
        try {
            wf.designCrossover(2000, kFs, 1, order);
            FAIL() << order;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "unsupported iir xover order in woofer");
        }
        EXPECT_EQ(wf.crossoverTarget.size(), 2);  // filled before the check

        TwData tw;
        tw.f = wf.f;
        try {
            tw.designCrossover(2000, kFs, 1, order);
            FAIL() << order;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "unsupported iir xover order in tweeter");
        }
        EXPECT_EQ(tw.crossoverTarget.size(), 2);
    }
}

// ---------------------------------------------------------------- applyCrossover

TEST(ApplyCrossover, WooferKeepsExactlyTheFrequenciesBelowTheUpperEdge) {
    WfData wf = wooferOnOutputGrid();
    const Vector grid = wf.f;
    const Matrix S = wf.applyCrossover(1000, kFs, 1, 4);
    EXPECT_EQ(S.rows(), 2);

    const double f2 = 1000 * std::sqrt(2.0);
    int kept = 0;
    while (grid[kept] < f2) ++kept;
    ASSERT_EQ(wf.f.size(), kept);
    EXPECT_EQ(wf.f, grid.head(kept));
    ASSERT_EQ(wf.H.size(), static_cast<std::size_t>(kept));
    for (int i = 0; i < kept; ++i) EXPECT_EQ(wf.H[i](0, 0), Complex(i, 0));
    EXPECT_EQ(wf.crossoverTarget.size(), kept);
    EXPECT_TRUE((wf.crossoverTarget.array() != 0.0).all());
}

// ---------------------------------------------------------------- pack

namespace {

// One measured prototype on five angles, asymmetric in angle, two frequencies.
WfData measuredSection(const IVector& chp, int positions) {
    WfData d;
    d.phi = frequencies({-90, -45, 0, 45, 90});
    d.driverpos = Vector::LinSpaced(positions, -0.1, 0.1);
    d.f = frequencies({500, 5000});
    d.driver_delay = Matrix::Zero(5, positions);
    d.driver_delay.col(0) << 5e-5, 6e-5, 7e-5, 8e-5, 9e-5;
    for (int k = 0; k < 2; ++k) {
        CMatrix h(5, 1);
        for (int r = 0; r < 5; ++r) h(r, 0) = std::polar(1.0 + 0.2 * r + k, 0.1 * r);
        d.H.push_back(h);
    }
    d.chp = chp;
    return d;
}

}  // namespace

TEST(Pack, MirroredDriverIsThePrototypeReversedInAngle) {
    WfData d = measuredSection((IVector(2) << 1, -1).finished(), 2);
    const CMatrix measured0 = d.H[0];
    d.pack();

    ASSERT_EQ(d.phi.size(), 721);
    EXPECT_NEAR(d.phi[0], -kPi / 2, 1e-15);
    EXPECT_NEAR(d.phi[360], 0.0, 1e-15);
    EXPECT_NEAR(d.phi[720], kPi / 2, 1e-15);
    // The prototype alone is kept; both positions read it through chp.
    ASSERT_EQ(d.H.size(), 2u);
    for (int f = 0; f < 2; ++f) {
        ASSERT_EQ(d.H[f].rows(), 721);
        ASSERT_EQ(d.H[f].cols(), 1);
        for (int k = 0; k < 721; ++k) EXPECT_EQ(d.transfer(f, k, 1), d.transfer(f, 720 - k, 0));
    }
    // Measured angles are kept: 0 degrees is row 360, 45 degrees row 540.
    EXPECT_NEAR(std::abs(d.transfer(0, 360, 0) - measured0(2, 0)), 0.0, 1e-12);
    EXPECT_NEAR(std::abs(d.transfer(0, 540, 0) - measured0(3, 0)), 0.0, 1e-12);
    EXPECT_NEAR(std::abs(d.transfer(0, 540, 1) - measured0(1, 0)), 0.0, 1e-12);

    // driver_delay is resampled per column, not expanded: linear in sin(angle).
    ASSERT_EQ(d.driver_delay.rows(), 721);
    ASSERT_EQ(d.driver_delay.cols(), 2);
    EXPECT_NEAR(d.driver_delay(360, 0), 7e-5, 1e-18);
    const double s = std::sin(kPi / 12);  // 15 degrees lies between 0 and 45
    EXPECT_NEAR(d.driver_delay(420, 0), 7e-5 + 1e-5 * s / std::sin(kPi / 4), 1e-15);
    EXPECT_EQ(d.driver_delay(420, 1), 0.0);
}

TEST(Pack, RefusesPackingListsThatNameNoPrototype) {
    for (const IVector& chp : {(IVector(2) << 1, 0).finished(), (IVector(2) << 1, 2).finished(),
                               (IVector(2) << -2, 1).finished(), (IVector(1) << 1).finished()}) {
        WfData d = measuredSection(chp, 2);
        EXPECT_THROW(d.pack(), ParseException) << chp.transpose();
    }
    WfData longer = measuredSection((IVector(3) << 1, -1, 1).finished(), 2);  // extra entries unused
    EXPECT_NO_THROW(longer.pack());
}

// ---------------------------------------------------------------- copies

TEST(DriverDataCopy, CrossingOverACopyLeavesTheCachedModelAsLoaded) {
    if (talvek_test::modelDir().empty()) GTEST_SKIP() << "TALVEK_MODEL_DIR not set";
    talvek_test::ScopedCwd cwd(talvek_test::modelDir());
    const ModelData* model = loadModel("Vexal16");
    ASSERT_NE(model, nullptr);

    WfData wf = *model->wf;  // what the design pipeline does
    TwData tw = *model->tw;
    wf.applyCrossover(model->fx, kFs, model->bwx, model->iir_xover_order);
    tw.applyCrossover(model->fx, kFs, model->bwx, model->iir_xover_order);
    EXPECT_LT(wf.f.size(), 215);
    EXPECT_LT(tw.H.size(), 215u);

    EXPECT_EQ(loadModel("Vexal16"), model);
    for (const DriverData* d : {static_cast<const DriverData*>(model->wf.get()),
                                static_cast<const DriverData*>(model->tw.get())}) {
        EXPECT_EQ(d->f.size(), 215);
        EXPECT_EQ(d->H.size(), 215u);
        EXPECT_EQ(d->crossoverTarget.size(), 0);
    }
}
