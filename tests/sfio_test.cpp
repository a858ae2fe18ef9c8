// The SFIO record: conversions to and from a section response, deep copies
// on the C heap, release.
#include <gtest/gtest.h>

#include "optimiser/section_response.h"

using namespace TalvekLib;

namespace {

SectionResponse sampleResponse(int channels, int freqs, double offset) {
    SectionResponse r;
    r.freq = Vector::LinSpaced(freqs, 100.0, 100.0 * freqs);
    r.H.resize(channels, freqs);
    for (int m = 0; m < channels; ++m)
        for (int n = 0; n < freqs; ++n) r.H(m, n) = Complex(offset + m + 0.001 * n, -0.5 * m + n);
    return r;
}

bool isZero(const SFIOChannelSet& s) {
    return s.nFreq == 0 && s.nChan == 0 && s.freq == nullptr && s.re == nullptr && s.im == nullptr;
}

// A record filled with responses of the given shapes (tweeter may be empty).
SFIO filledRecord(int arraytype, int wfChannels, int twChannels, double offset) {
    SFIO record{};
    record.arraytype = arraytype;
    fillChannelSet(sampleResponse(wfChannels, 5, offset), record.wf);
    if (twChannels > 0) fillChannelSet(sampleResponse(twChannels, 3, offset + 10), record.tw);
    return record;
}

void expectSameContents(const SFIO& a, const SFIO& b) {
    EXPECT_EQ(a.arraytype, b.arraytype);
    for (auto set : {&SFIO::wf, &SFIO::tw}) {
        const SectionResponse ra = readChannelSet(a.*set), rb = readChannelSet(b.*set);
        EXPECT_EQ(ra.freq, rb.freq);
        EXPECT_EQ(ra.H, rb.H);
    }
}

}  // namespace

TEST(SfioRecord, FillAndReadRoundTripExactly) {
    const SectionResponse r = sampleResponse(4, 7, 0.25);
    SFIOChannelSet set{};
    fillChannelSet(r, set);
    EXPECT_EQ(set.nChan, 4);
    EXPECT_EQ(set.nFreq, 7);
    EXPECT_EQ(set.re[2][5], r.H(2, 5).real());
    EXPECT_EQ(set.im[3][6], r.H(3, 6).imag());
    const SectionResponse back = readChannelSet(set);
    EXPECT_EQ(back.freq, r.freq);
    EXPECT_EQ(back.H, r.H);
    releaseChannelSet(set);
    EXPECT_TRUE(isZero(set));

    // Only as many frequencies as the response has columns.
    SectionResponse wide = r;
    wide.freq.conservativeResize(9);
    fillChannelSet(wide, set);
    EXPECT_EQ(readChannelSet(set).freq, r.freq);
    releaseChannelSet(set);
}

TEST(SfioRecord, CopyIsDeepAndReplacesWhatTheTargetHeld) {
    SFIO source = filledRecord(7, 6, 2, 0.0);
    SFIO host{};
    copySFIO(source, host);
    expectSameContents(source, host);
    EXPECT_NE(host.wf.freq, source.wf.freq);
    EXPECT_NE(host.wf.re[0], source.wf.re[0]);

    // A second copy into the same record, of other shapes, frees and refills.
    SFIO other = filledRecord(4, 3, 5, 50.0);
    copySFIO(other, host);
    expectSameContents(other, host);
    clearSFIO(other);  // the copy does not share arrays with its source
    EXPECT_EQ(readChannelSet(host.tw).H, sampleResponse(5, 3, 60.0).H);

    clearSFIO(source);
    clearSFIO(host);
    EXPECT_TRUE(isZero(host.wf) && isZero(host.tw));
    EXPECT_EQ(host.arraytype, 0);
}

TEST(SfioRecord, OneWayRecordKeepsAnAllZeroTweeterSet) {
    SFIO source = filledRecord(1, 8, 0, 0.0);
    SFIO host = filledRecord(7, 4, 4, 3.0);  // held a two-way record before
    copySFIO(source, host);
    EXPECT_TRUE(isZero(host.tw));
    expectSameContents(source, host);
    clearSFIO(source);
    clearSFIO(host);
}

TEST(SfioRecord, CopyOntoItselfKeepsTheRecord) {
    SFIO record = filledRecord(2, 3, 2, 1.0);
    SFIO reference = filledRecord(2, 3, 2, 1.0);
    copySFIO(record, record);
    copyChannelSet(record.wf, record.wf);
    expectSameContents(record, reference);
    clearSFIO(record);
    clearSFIO(reference);
}
