// A channel set whose steering filters are flat: every channel one tap of 1.
#pragma once

#include "filters/speaker_design.h"

namespace talvek_test {

inline TalvekLib::ChannelDesign flatChannels(int count) {
    TalvekLib::ChannelDesign cd;
    cd.outputgain = 1.0;
    cd.delaypick = TalvekLib::IVector::Zero(1);
    cd.weights = TalvekLib::IMatrix::Ones(1, count);
    cd.outputshifts = TalvekLib::IVector::Zero(count);
    return cd;
}

}  // namespace talvek_test
