// Driver sections of a loudspeaker model: measured transfer data by frequency
// and angle, geometry, gains and delays. WfData is the low-frequency section,
// TwData the high-frequency one.
#pragma once

#include <cstdlib>
#include <vector>

#include "core/dense.h"

namespace TalvekLib {

struct DacAmpData {
    Matrix H;       // amplifier transfer magnitudes, one row per channel, one column per frequency
    Vector delay;
    Vector Vclip;   // clip voltage per row of H
    int Nch = 0;
};

class DriverData {
public:
    DriverData() = default;
    DriverData(const DriverData&) = default;
    DriverData& operator=(const DriverData&) = default;
    virtual ~DriverData() = default;

    // Designs the section's crossover, keeps only the frequencies with a
    // non-zero target and returns the crossover's sections (b0 b1 b2 a0 a1 a2 rows).
    Matrix applyCrossover(double fx, double fs, double bwx, int order);
    // Linkwitz-Riley crossover of the section; fills crossoverTarget.
    virtual Matrix designCrossover(double fx, double fs, double bwx, int order) = 0;

    // Resamples H and driver_delay onto the fine angle grid (phi becomes
    // radians). H keeps one column per measured prototype; chp maps the driver
    // positions onto them (transferColumn, transferMirrored). Throws
    // ParseException on inconsistent data.
    void pack();

    // The transfer data of driver position d towards angle row a at frequency
    // k is H[k](transferRow(d, a), transferColumn(d)): without a packing list
    // H has a column per driver position; with one, driver position d reads
    // prototype |chp[d]|, its angle rows mirrored when it is mounted upside
    // down (chp[d] < 0), which sees angle theta where the prototype saw -theta.
    int transferColumn(int d) const { return chp.size() == 0 ? d : std::abs(chp[d]) - 1; }
    bool transferMirrored(int d) const { return chp.size() != 0 && chp[d] < 0; }
    int transferRow(int d, int a) const { return transferMirrored(d) ? phi.size() - 1 - a : a; }
    Complex transfer(int k, int a, int d) const { return H[k](transferRow(d, a), transferColumn(d)); }
    // Columns every H matrix must have for the driver positions to read.
    int transferColumns() const;

    std::vector<CMatrix> H;   // per frequency: rows = angles of phi, columns = drivers or prototypes
    Vector phi;               // degrees as loaded, radians after pack()
    Vector driverpos;         // metres along the column axis
    Vector f;                 // Hz
    Vector ChDacAmp;
    Vector itpars;            // itpars[0]: the section's own iteration count
    Matrix driver_delay;      // rows = angles, columns = drivers; seconds
    int Nboxes = 0;
    IVector chp;              // packed models: 1-based prototype per driver position; negative = mirrored
    double yshift = 0.0;      // section centre above the column's reference point, metres
    Vector beta;              // diagonal loading, one value or one per box
    DacAmpData Hdacamp;
    Vector crossoverTarget;   // per frequency; empty until the crossover ran
};

class WfData : public DriverData {
public:
    Matrix designCrossover(double fx, double fs, double bwx, int order) override;
    Matrix rolloff_sosa;      // analog sections, one row per box
};

class TwData : public DriverData {
public:
    Matrix designCrossover(double fx, double fs, double bwx, int order) override;
};

// Raised-cosine blend weights in log frequency, 1 to 0 from fx*2^(-bwx/2) to
// fx*2^(bwx/2) on the low side; the high side is the complement.
Vector bandWeight(const Vector& f, double fx, double bwx, bool highSide);

}  // namespace TalvekLib
