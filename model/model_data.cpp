#include "model/model_data.h"

#include "core/exceptions.h"
#include "core/lib_settings.h"
#include "model/json.h"

namespace TalvekLib {

namespace {

// Complex values a packed section may address through its packing list
// (frequencies x driver positions x fine angles, 32 Mi); the largest bundled
// model addresses 7.4 million, of which it stores only its prototypes.
constexpr double kMaxPackedValues = 32.0 * 1024 * 1024;
// Iterations of the inner optimisation a model may ask for (the bundled
// models use 15).
constexpr double kMaxIterations = 1000.0;

void require(bool condition) {
    if (!condition) throw ParseException();
}

// The first three values of a timbre list; shorter lists are refused.
Vector firstThree(yajl_val node) {
    const Vector v = jsonVector(node);
    require(v.size() >= 3);
    return v.head(3);
}

// Shapes the later computations index by without checking: the frequency
// list against H and the amplifier table, the angle list against the rows of
// H and driver_delay, the driver positions against the columns.
void validateSection(const DriverData& d, bool packed) {
    require(d.Nboxes >= 1);
    require(d.driverpos.size() > 0 && d.driverpos.allFinite());
    require(d.f.allFinite());
    require(d.H.size() == static_cast<std::size_t>(d.f.size()));

    require(d.phi.size() > 0 && d.phi.allFinite());
    for (int i = 1; i < d.phi.size(); ++i) require(d.phi[i] > d.phi[i - 1]);
    if (packed) {
        // Packing interpolates in sin(angle): it needs an interval, and the
        // sine grows only between -90 and +90 degrees.
        require(d.phi.size() >= 2 && d.phi[0] >= -90.0 && d.phi[d.phi.size() - 1] <= 90.0);
        // Every frequency and driver position reads the whole fine angle
        // grid, and the fit and the sound field work per position: without
        // a bound a few kilobytes of document could ask for gigabytes of work.
        const double fineAngles = 180.0 / librarySettings().angleStep + 1.0;
        require(static_cast<double>(d.f.size()) * d.driverpos.size() * fineAngles <= kMaxPackedValues);
    }

    // Unpacked data carry one column per driver position; packed data carry
    // the measured prototypes, the same number in every matrix.
    const int columns = d.H.empty() ? d.driverpos.size() : d.H.front().cols();
    require(packed || columns == d.driverpos.size());
    for (const CMatrix& Hk : d.H) {
        require(Hk.rows() == d.phi.size() && Hk.cols() == columns && Hk.allFinite());
    }

    // The field computation reads driver_delay by angle row and driver position.
    require(d.driver_delay.rows() == d.phi.size() && d.driver_delay.cols() == d.driverpos.size());

    // The headroom pairs row c of the amplifier table with Vclip[c] and reads
    // it by frequency index.
    require(d.Hdacamp.H.rows() == d.Hdacamp.Vclip.size() && d.Hdacamp.H.cols() == d.f.size());

    // One loading value for all, or one per box of eight driver positions.
    require(d.beta.size() > 0);
    if (d.beta.size() > 1) require(d.beta.size() == d.Nboxes && d.driverpos.size() == 8 * d.Nboxes);

    // The section's own iteration count: each iteration solves every
    // frequency, so a count beyond kMaxIterations would never finish.
    require(d.itpars.size() > 0 && d.itpars[0] <= kMaxIterations);
}

// The field computation evaluates row b of rolloff_sosa for every box b.
void validateRolloff(const WfData& wf) {
    require(wf.rolloff_sosa.rows() >= wf.Nboxes && wf.rolloff_sosa.cols() == 6);
}

// The keys of one section, in document order, and the checks of their shapes.
void readSection(yajl_val s, DriverData& d, bool packed, Matrix* rolloff_sosa) {
    d.Nboxes = jsonInt(jsonGet(s, "Nboxes"));
    d.yshift = jsonDouble(jsonGet(s, "yshift"));
    d.beta = jsonVector(jsonGet(s, "beta"));
    d.phi = jsonVector(jsonGet(s, "phi"));
    d.driverpos = jsonVector(jsonGet(s, "driverpos"));
    d.f = jsonVector(jsonGet(s, "f"));
    d.ChDacAmp = jsonVector(jsonGet(s, "ChDacAmp"));
    d.driver_delay = jsonMatrix(jsonGet(s, "driver_delay"));
    d.H = jsonComplexMatrixList(jsonGet(s, "H"));
    const yajl_val dacamp = jsonGet(s, "Hdacamp");
    d.Hdacamp.H = jsonMatrix(jsonGet(dacamp, "H"));
    d.Hdacamp.delay = jsonVector(jsonGet(dacamp, "delay"));
    d.Hdacamp.Vclip = jsonVector(jsonGet(dacamp, "Vclip"));
    d.Hdacamp.Nch = jsonInt(jsonGet(dacamp, "Nch"));
    if (rolloff_sosa != nullptr) *rolloff_sosa = jsonMatrix(jsonGet(s, "rolloff_sosa"));
    d.itpars = jsonVector(jsonGet(s, "itpars"));
    if (packed) d.chp = jsonIntVector(jsonGet(s, "chp"));

    validateSection(d, packed);
}

}  // namespace

ModelData::ModelData(const char* jsonText) {
    if (jsonText == nullptr) return;
    readDocument(jsonText);
    // Packing runs once both sections were read and checked, and after the
    // document's tree (many times the size of the record) was freed: the
    // resampled data then reuse its memory instead of growing the heap.
    if (ispacked) {
        if (tw) tw->pack();
        wf->pack();
    }
}

void ModelData::readDocument(const char* jsonText) {
    const JsonDocument doc(jsonText);
    const yajl_val root = doc.root();

    flo = jsonDouble(jsonGet(root, "flo"));
    f_flatten = jsonDouble(jsonGet(root, "f_flatten"));
    rolloff_order = jsonInt(jsonGet(root, "rolloff_order"));
    twoway = jsonBool(jsonGet(root, "twoway"));
    f_timbre = firstThree(jsonGet(root, "f_timbre"));
    dB_timbre = firstThree(jsonGet(root, "dB_timbre"));
    arraytype = jsonInt(jsonGet(root, "arraytype"));
    require(arraytype >= 1 && arraytype <= 10);  // one box table and crossover set per type
    ispacked = jsonBool(jsonGet(root, "ispacked"));

    if (twoway) {
        fx = jsonDouble(jsonGet(root, "fx"));
        iir_xover_order = jsonInt(jsonGet(root, "iir_xover_order"));
        bwx = jsonDouble(jsonGet(root, "bwx"));
        tw = std::make_unique<TwData>();
        readSection(jsonGet(root, "tw"), *tw, ispacked, nullptr);
    }

    wf = std::make_unique<WfData>();
    readSection(jsonGet(root, "wf"), *wf, ispacked, &wf->rolloff_sosa);
    // A single section may be written as a column; keep it as one row.
    if (wf->rolloff_sosa.cols() == 1 && wf->rolloff_sosa.rows() > 1) {
        wf->rolloff_sosa.transposeInPlace();
    }
    validateRolloff(*wf);
}

}  // namespace TalvekLib
