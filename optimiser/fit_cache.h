// The decomposed Gram matrices of a section's fit, kept between designs.
//
// At each frequency the fit solves with A = G^H G, its diagonal loaded, and A
// depends on the section's transfer data towards the fitted directions, the
// drivers' delays and the loading, not on the targets. Designs for other
// targets or iteration counts, and (when every direction takes part) for
// another mounting, reuse the decomposition made for the first. Every input is
// compared in full before a decomposition is reused, so the result is the one
// that would have been computed, bit for bit.
#pragma once

#include <vector>

#include <Eigen/QR>

#include "core/dense.h"

namespace TalvekLib {

using GramDecomposition = Eigen::ColPivHouseholderQR<CMatrix>;

class FitCache {
public:
    // The decompositions of one section's fit, one slot per frequency.
    class Section {
    public:
        // The stored decomposition for slot c if it was made from exactly
        // these inputs, else nullptr.
        const GramDecomposition* find(int c, double f, const Matrix& hRe, const Matrix& hIm) const;
        void store(int c, double f, const Matrix& hRe, const Matrix& hIm, const GramDecomposition& qr);

    private:
        friend class FitCache;
        struct Slot {
            double f = 0.0;
            Matrix hRe, hIm;
            GramDecomposition qr;
            bool filled = false;
        };
        Matrix dTau_;
        Vector loading_;
        std::vector<int> sourceOf_;
        std::vector<Slot> slots_;
    };

    // The section whose drivers' delays, loading and transfer columns equal
    // these (a cleared one when none does), with nFreq slots.
    Section& section(const Matrix& dTau, const Vector& loading, const std::vector<int>& sourceOf, int nFreq);

private:
    // A two-way design fits both sections in turn, and a refinement alternates
    // between fitting the whole half plane and the audience's directions only:
    // room for both sections of two direction sets, the least recently used
    // making way for a new one.
    static constexpr int kEntries = 4;
    Section sections_[kEntries];
    unsigned long lastUse_[kEntries] = {};
    unsigned long uses_ = 0;
};

}  // namespace TalvekLib
