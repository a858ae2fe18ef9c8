// Run-time choice of vector width for the hot loops.
#pragma once

// The hot loops get builds for 512- and 256-bit vector units next to the
// baseline one, chosen when the library loads. The library is compiled
// without contraction to fused multiply-adds, so every build gives the same bits.
// Under ThreadSanitizer the choice would run before the sanitizer is ready, so
// such builds keep the baseline loops.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__)
#define TALVEK_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define TALVEK_VECTOR_CLONES
#endif
