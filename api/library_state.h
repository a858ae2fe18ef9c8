// The process-wide state behind the exports. Created at load time (as empty
// values) so that no export can reach missing state; the flags record which of
// the set-up calls have run.
#pragma once

#include <memory>
#include <string>

#include "acoustics/channel_chain_cache.h"
#include "filters/speaker_design.h"
#include "include/talvek.h"
#include "optimiser/fit_cache.h"

namespace TalvekLib {

struct LibraryState {
    bool settingsReady = false;     // Talvek_MatLabInit created the settings and reference curve
    std::string errorText;
    std::string modelName;
    SFIO sfio{};                    // the library's own record; arraytype 0 = empty
    std::unique_ptr<SpeakerDesign> design;  // created by the first design
    ChannelChainCache channelChains;        // filter responses of the design, for Talvek_Greens
    FitCache fitCache;                      // decomposed Gram matrices, for Talvek_Optimizer
};

LibraryState& libraryState();

}  // namespace TalvekLib
