#include "optimiser/fit_cache.h"

namespace TalvekLib {

const GramDecomposition* FitCache::Section::find(int c, double f, const Matrix& hRe, const Matrix& hIm) const {
    if (c < 0 || c >= static_cast<int>(slots_.size())) return nullptr;
    const Slot& s = slots_[c];
    return s.filled && s.f == f && sameValues(s.hRe, hRe) && sameValues(s.hIm, hIm) ? &s.qr : nullptr;
}

void FitCache::Section::store(int c, double f, const Matrix& hRe, const Matrix& hIm, const GramDecomposition& qr) {
    if (c < 0 || c >= static_cast<int>(slots_.size())) return;
    Slot& s = slots_[c];
    s.filled = false;  // stays empty if a copy below throws
    s.f = f;
    s.hRe = hRe;
    s.hIm = hIm;
    s.qr = qr;
    s.filled = true;
}

FitCache::Section& FitCache::section(const Matrix& dTau, const Vector& loading, const std::vector<int>& sourceOf,
                                     int nFreq) {
    ++uses_;
    for (int e = 0; e < kEntries; ++e) {
        Section& s = sections_[e];
        if (s.sourceOf_ == sourceOf && sameValues(s.dTau_, dTau) && sameValues(s.loading_, loading)) {
            lastUse_[e] = uses_;
            s.slots_.resize(nFreq);
            return s;
        }
    }
    int e = 0;
    for (int k = 1; k < kEntries; ++k)
        if (lastUse_[k] < lastUse_[e]) e = k;
    lastUse_[e] = uses_;
    Section& s = sections_[e];
    s.slots_.clear();
    s.sourceOf_ = sourceOf;
    s.dTau_ = dTau;
    s.loading_ = loading;
    s.slots_.resize(nFreq);
    return s;
}

}  // namespace TalvekLib
