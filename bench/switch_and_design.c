/* Switching to Vexal64 and designing once through the exported functions, as
 * a host does it, in a process of its own so that its peak resident memory is
 * the library's: prints the fastest of five switches (Vexal8 -> Vexal64), the
 * first design of the typical venue, and the peak resident set.
 * Run from the folder of the model archives (build/models). */
#include <stdio.h>
#include <sys/resource.h>
#include <time.h>

#include "talvek.h"

static double seconds(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}

static int fail(const char* what) {
    char text[512];
    Talvek_Get_Error(text, sizeof text);
    fprintf(stderr, "%s failed: %s\n", what, text);
    return 1;
}

int main(void) {
    if (Talvek_Initial_Check() != 1) return fail("Talvek_Initial_Check");
    if (Talvek_MatLabInit() != 1) return fail("Talvek_MatLabInit");

    /* Design once right after the first load: the peak a host sees. */
    const double venue[7] = {3.0, 25.0, 1.2, 1.2, 94.0, 88.0, 1.0};
    double w0 = seconds(CLOCK_MONOTONIC), c0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
    if (Talvek_Setup_Speaker(7) != 1) return fail("Talvek_Setup_Speaker");
    const double loadWall = seconds(CLOCK_MONOTONIC) - w0, loadCpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - c0;
    w0 = seconds(CLOCK_MONOTONIC);
    c0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
    if (Talvek_Optimizer(2.5, 0.0, 1, 0, venue, 0, 0, 0, 0, 0) != 1) return fail("Talvek_Optimizer");
    const double designWall = seconds(CLOCK_MONOTONIC) - w0, designCpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - c0;
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    const double peakMb = usage.ru_maxrss / 1024.0;

    double bestWall = 1e30, bestCpu = 1e30;
    for (int i = 0; i < 5; ++i) {
        if (Talvek_Setup_Speaker(1) != 1) return fail("Talvek_Setup_Speaker");
        w0 = seconds(CLOCK_MONOTONIC);
        c0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
        if (Talvek_Setup_Speaker(7) != 1) return fail("Talvek_Setup_Speaker");
        const double w = seconds(CLOCK_MONOTONIC) - w0, c = seconds(CLOCK_PROCESS_CPUTIME_ID) - c0;
        if (w < bestWall) bestWall = w;
        if (c < bestCpu) bestCpu = c;
    }
    printf("first load of Vexal64   %7.1f ms wall %7.1f ms cpu\n", 1e3 * loadWall, 1e3 * loadCpu);
    printf("first design            %7.1f ms wall %7.1f ms cpu\n", 1e3 * designWall, 1e3 * designCpu);
    printf("switch Vexal8->Vexal64  %7.1f ms wall %7.1f ms cpu (fastest of 5)\n", 1e3 * bestWall, 1e3 * bestCpu);
    printf("peak resident memory after load and design: %.1f MB\n", peakMb);
    return 0;
}
