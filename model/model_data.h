// The parsed description of one loudspeaker model.
#pragma once

#include <memory>

#include "core/dense.h"
#include "model/driver_data.h"

namespace TalvekLib {

struct ModelData {
    // Builds the record from a zero-terminated JSON text; throws ParseException
    // at the first missing or mistyped key.
    explicit ModelData(const char* jsonText);

    double flo = 0.0;
    double fx = 0.0;
    double bwx = 0.0;
    double f_flatten = 0.0;
    int iir_xover_order = 0;
    int rolloff_order = 0;
    int arraytype = 0;
    bool twoway = false;
    bool ispacked = false;
    Vector f_timbre;   // 3 values
    Vector dB_timbre;  // 3 values
    std::unique_ptr<TwData> tw;
    std::unique_ptr<WfData> wf;

private:
    // Every key of the document, checked; packed sections are not packed yet.
    void readDocument(const char* jsonText);
};

}  // namespace TalvekLib
