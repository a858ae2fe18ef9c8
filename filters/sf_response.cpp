#include "filters/sf_response.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "core/two_threads.h"
#include "filters/filter.h"

namespace TalvekLib {

namespace {

// The record must hang together before we index into it: one weight row per
// tap position, one shift per channel, positions inside the filter length.
void checkChannel(const ChannelDesign& cd, int c) {
    if (cd.weights.cols() != cd.outputshifts.size())
        throw std::runtime_error("Channel design has " + std::to_string(cd.weights.cols()) +
                                 " weight columns but " + std::to_string(cd.outputshifts.size()) +
                                 " output shifts.");
    if (cd.weights.rows() != cd.delaypick.size())
        throw std::runtime_error("Channel design has " + std::to_string(cd.weights.rows()) +
                                 " weight rows but " + std::to_string(cd.delaypick.size()) +
                                 " tap positions.");
    if (c < 0 || c >= cd.outputshifts.size())
        throw std::runtime_error("Channel " + std::to_string(c) + " is not in the channel design (" +
                                 std::to_string(cd.outputshifts.size()) + " channels).");
}

}  // namespace

Vector channelTaps(const ChannelDesign& cd, int c) {
    checkChannel(cd, c);
    if (cd.delaypick.size() == 0) return Vector();  // every weight quantised to zero

    const int L = cd.delaypick[cd.delaypick.size() - 1] + 1;
    Vector h = Vector::Zero(L);
    for (int i = 0; i < cd.delaypick.size(); ++i) {
        const int pos = cd.delaypick[i];
        if (pos < 0 || pos >= L)
            throw std::runtime_error("Channel design tap position " + std::to_string(pos) +
                                     " lies outside the filter length " + std::to_string(L) + ".");
        h[pos] = static_cast<double>(cd.weights(i, c));
    }
    // The integrating stages of the processor; in doubles the running sums stay
    // exact far beyond the 32-bit range.
    for (int pass = 0; pass < cd.order; ++pass)
        for (int i = 1; i < L; ++i) h[i] += h[i - 1];

    h *= std::pow(2.0, -cd.outputshifts[c]);
    h *= cd.outputgain;
    return h;
}

CMatrix channelResponses(const ChannelDesign& cd, const Vector& f, double fs) {
    const int channels = cd.outputshifts.size();
    if (cd.delaypick.size() == 0) {  // every weight quantised to zero
        for (int c = 0; c < channels; ++c) channelTaps(cd, c);  // still checks the record
        return CMatrix::Zero(f.size(), channels);
    }
    // Every channel has the same length: the taps side by side, one column each.
    Matrix taps(cd.delaypick[cd.delaypick.size() - 1] + 1, channels);
    for (int c = 0; c < channels; ++c) taps.col(c) = channelTaps(cd, c);
    CMatrix out(f.size(), channels);
    // Channels are independent: a second thread may take half of them.
    const double terms = static_cast<double>(channels) * f.size() * taps.rows();
    shareWithSecondThread(channels, terms, [&](int first, int last) {
        out.middleCols(first, last - first) = firResponses(taps.middleCols(first, last - first), f, fs);
    });
    return out;
}

}  // namespace TalvekLib
