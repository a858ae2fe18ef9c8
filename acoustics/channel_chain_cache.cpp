#include "acoustics/channel_chain_cache.h"

#include "filters/sf_response.h"
#include "filters/sos.h"

namespace TalvekLib {

namespace {

bool sameDesign(const ChannelDesign& a, const ChannelDesign& b) {
    return a.order == b.order && a.outputgain == b.outputgain && sameValues(a.delaypick, b.delaypick) &&
           sameValues(a.weights, b.weights) && sameValues(a.outputshifts, b.outputshifts);
}

}  // namespace

CMatrix channelChains(const ChannelDesign& cd, const Matrix& crossover, double fs, const Vector& f) {
    CMatrix E = channelResponses(cd, f, fs);
    if (crossover.size() > 0) {
        const CMatrix X = H_sos(crossover, f, fs, 0);
        for (int k = 0; k < E.cols(); ++k) E.col(k).array() *= X.col(0).array();
    }
    return E;
}

const CMatrix& ChannelChainCache::chains(const ChannelDesign& cd, const Matrix& crossover, double fs,
                                         const Vector& f) {
    for (Entry& e : entries_)
        if (e.filled && e.fs == fs && sameValues(e.f, f) && sameValues(e.crossover, crossover) && sameDesign(e.cd, cd))
            return e.value;
    Entry& e = entries_[next_];
    next_ = (next_ + 1) % 2;
    e.filled = false;  // stays empty if the computation throws
    e.value = channelChains(cd, crossover, fs, f);
    e.cd = cd;
    e.crossover = crossover;
    e.fs = fs;
    e.f = f;
    e.filled = true;
    return e.value;
}

}  // namespace TalvekLib
