// The SFIO record's arrays live on the C heap (malloc/free) because hosts
// receive them through the C interface; every array is its own block.
#include "optimiser/section_response.h"

#include <cstdlib>
#include <new>

namespace TalvekLib {

namespace {

// malloc that throws like new; an empty array stays a null pointer so that an
// unused channel set is all zero.
template <typename T>
T* allocateArray(int count) {
    if (count <= 0) return nullptr;
    void* block = std::calloc(static_cast<std::size_t>(count), sizeof(T));
    if (block == nullptr) throw std::bad_alloc();
    return static_cast<T*>(block);
}

// Sizes the set and allocates every array (zero-filled, so a failure part-way
// leaves a set that releaseChannelSet can still free).
void allocateChannelSet(SFIOChannelSet& set, int nChan, int nFreq) {
    set.nChan = nChan;
    set.nFreq = nFreq;
    set.freq = allocateArray<double>(nFreq);
    set.re = allocateArray<double*>(nChan);
    set.im = allocateArray<double*>(nChan);
    for (int m = 0; m < nChan; ++m) {
        set.re[m] = allocateArray<double>(nFreq);
        set.im[m] = allocateArray<double>(nFreq);
    }
}

bool holdsArrays(const SFIOChannelSet& set) {
    return set.freq != nullptr || set.re != nullptr || set.im != nullptr;
}

}  // namespace

void releaseChannelSet(SFIOChannelSet& set) {
    for (int m = 0; m < set.nChan; ++m) {
        if (set.re != nullptr) std::free(set.re[m]);
        if (set.im != nullptr) std::free(set.im[m]);
    }
    std::free(set.re);
    std::free(set.im);
    std::free(set.freq);
    set.re = nullptr;
    set.im = nullptr;
    set.freq = nullptr;
    set.nChan = 0;
    set.nFreq = 0;
}

void copyChannelSet(const SFIOChannelSet& src, SFIOChannelSet& dst) {
    if (&src == &dst) return;
    if (holdsArrays(dst)) releaseChannelSet(dst);
    allocateChannelSet(dst, src.nChan, src.nFreq);
    for (int n = 0; n < src.nFreq; ++n) dst.freq[n] = src.freq[n];
    for (int m = 0; m < src.nChan; ++m) {
        for (int n = 0; n < src.nFreq; ++n) {
            dst.re[m][n] = src.re[m][n];
            dst.im[m][n] = src.im[m][n];
        }
    }
}

void clearSFIO(SFIO& record) {
    releaseChannelSet(record.wf);
    releaseChannelSet(record.tw);
    record.arraytype = 0;
}

void copySFIO(const SFIO& src, SFIO& dst) {
    // A host may hand back the library's own record (Talvek_Get_SFIO_pointer);
    // releasing dst first would then free the source.
    if (&src == &dst) return;
    if (dst.arraytype != 0) clearSFIO(dst);
    dst.arraytype = src.arraytype;
    copyChannelSet(src.wf, dst.wf);
    copyChannelSet(src.tw, dst.tw);
}

void fillChannelSet(const SectionResponse& response, SFIOChannelSet& set) {
    if (holdsArrays(set)) releaseChannelSet(set);
    const CMatrix& H = response.H;
    allocateChannelSet(set, H.rows(), H.cols());
    for (int n = 0; n < H.cols(); ++n) set.freq[n] = response.freq[n];
    for (int m = 0; m < H.rows(); ++m) {
        for (int n = 0; n < H.cols(); ++n) {
            set.re[m][n] = H(m, n).real();
            set.im[m][n] = H(m, n).imag();
        }
    }
}

SectionResponse readChannelSet(const SFIOChannelSet& set) {
    SectionResponse response;
    response.freq.resize(set.nFreq);
    response.H.resize(set.nChan, set.nFreq);
    for (int n = 0; n < set.nFreq; ++n) response.freq[n] = set.freq[n];
    for (int m = 0; m < set.nChan; ++m)
        for (int n = 0; n < set.nFreq; ++n) response.H(m, n) = Complex(set.re[m][n], set.im[m][n]);
    return response;
}

}  // namespace TalvekLib
