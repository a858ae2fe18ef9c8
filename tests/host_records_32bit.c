/*
 * The records of talvek.h as a 32-bit host lays them out (4-byte pointers,
 * int32_t counts, 4-byte alignment): compiled with gcc -m32 by CTest, so a
 * field that moves fails the build of this file.
 */
#include <stddef.h>

#include "talvek.h"

#define LAYOUT(expr) _Static_assert(expr, #expr)

LAYOUT(sizeof(void*) == 4);

LAYOUT(sizeof(SFIOChannelSet) == 20);
LAYOUT(offsetof(SFIOChannelSet, nFreq) == 0);
LAYOUT(offsetof(SFIOChannelSet, nChan) == 4);
LAYOUT(offsetof(SFIOChannelSet, freq) == 8);
LAYOUT(offsetof(SFIOChannelSet, re) == 12);
LAYOUT(offsetof(SFIOChannelSet, im) == 16);

LAYOUT(sizeof(SFIO) == 44);
LAYOUT(offsetof(SFIO, wf) == 0);
LAYOUT(offsetof(SFIO, tw) == 20);
LAYOUT(offsetof(SFIO, arraytype) == 40);

LAYOUT(sizeof(SFResponseRequest) == 32);
LAYOUT(offsetof(SFResponseRequest, nFreq) == 0);
LAYOUT(offsetof(SFResponseRequest, nChanWf) == 4);
LAYOUT(offsetof(SFResponseRequest, nChanTw) == 8);
LAYOUT(offsetof(SFResponseRequest, freq) == 12);
LAYOUT(offsetof(SFResponseRequest, reWf) == 16);
LAYOUT(offsetof(SFResponseRequest, imWf) == 20);
LAYOUT(offsetof(SFResponseRequest, reTw) == 24);
LAYOUT(offsetof(SFResponseRequest, imTw) == 28);
