// Steering-filter taps and responses rebuilt from a ChannelDesign.
#pragma once

#include "filters/speaker_design.h"

namespace TalvekLib {

// FIR taps of channel c: stored rows placed at delaypick, `order` running
// sums, scaled by 2^-outputshifts[c] and outputgain. Empty delaypick: no taps.
Vector channelTaps(const ChannelDesign& cd, int c);
// One row per frequency, one column per channel.
CMatrix channelResponses(const ChannelDesign& cd, const Vector& f, double fs);

}  // namespace TalvekLib
