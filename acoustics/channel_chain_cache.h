// The steering filter times the crossover of every channel of a driver
// section at every frequency of the section, kept for the design it was made
// from. A host that predicts frequency by frequency, or a few points at a
// time, pays for the filter responses once per design instead of per call.
#pragma once

#include "filters/speaker_design.h"

namespace TalvekLib {

class ChannelChainCache {
public:
    // Rows: the frequencies f; columns: the channels of cd. Recomputed when
    // any input differs from the one the stored value was made from; every
    // frequency is evaluated on its own, so a row equals, bit for bit, the
    // value computed for that frequency alone.
    const CMatrix& chains(const ChannelDesign& cd, const Matrix& crossover, double fs, const Vector& f);

private:
    struct Entry {
        ChannelDesign cd;
        Matrix crossover;
        double fs = 0.0;
        Vector f;
        CMatrix value;
        bool filled = false;
    };
    // A two-way design asks for both sections in turn: one entry each.
    Entry entries_[2];
    int next_ = 0;
};

// Steering filter times crossover, N x channels, without a cache. An empty
// crossover list passes the signal unchanged.
CMatrix channelChains(const ChannelDesign& cd, const Matrix& crossover, double fs, const Vector& f);

}  // namespace TalvekLib
