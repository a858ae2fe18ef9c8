// The library's current steering design.
#pragma once

#include "core/dense.h"

namespace TalvekLib {

// Quantised sparse FIR steering filters of one driver section.
struct ChannelDesign {
    int order = 0;          // running-sum stages
    double outputgain = 0.0;
    IVector delaypick;      // ascending tap positions of the stored rows
    IMatrix weights;        // rows = delaypick entries, columns = channels
    IVector outputshifts;   // per channel power-of-two scale
};

struct SpeakerDesign {
    Matrix sos_xover_wf;
    Matrix sos_xover_tw;
    bool twoway = false;
    double fswf = 0.0;
    double fstw = 0.0;
    double wfeqValue = 0.0;
    int arraytype = 0;
    ChannelDesign wf;
    ChannelDesign tw;
};

}  // namespace TalvekLib
