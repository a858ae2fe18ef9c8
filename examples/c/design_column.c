/*
 * Designs the steering filters of a Vexal32 column for a church nave through
 * the C interface of libtalvek and writes the files for the column's processor.
 *
 *   design_column OUTDIR [MODELDIR]
 *
 * MODELDIR is the folder of the bundled model archives; by default the one
 * compiled in as MODEL_DIR (pkg-config --variable=modeldir talvek, or
 * Talvek_MODEL_DIR from find_package(Talvek)).
 */
#define _XOPEN_SOURCE 700 /* realpath, PATH_MAX */

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <talvek.h>

#ifndef MODEL_DIR
#define MODEL_DIR ""
#endif

enum { VEXAL32 = 4 };

/* The venue: one row per audience line, stored column by column as the
 * optimiser reads it (n x 7: x1, x2, z1, z2 in m, level1, level2 in dB SPL,
 * active). The column hangs at 3.2 m and faces +x. */
#define ITEMS 2
static const double venue[7 * ITEMS] = {
    2.5, 28.0,  /* x1: the pews start 2.5 m out, the chancel at 28 m */
    26.0, 34.0, /* x2 */
    1.2, 2.1,   /* z1: ear height, seated; the chancel is raised 0.9 m */
    1.2, 2.1,   /* z2 */
    78.0, 74.0, /* level at the near end */
    76.0, 74.0, /* level at the far end */
    1.0, 1.0,   /* both lines are covered */
};

/* Prints the library's reason for the last failure. */
static int fail(const char* what)
{
    int32_t length = Talvek_Get_Error(NULL, 0);
    char* text = malloc((size_t)length + 1);
    if (text != NULL) {
        Talvek_Get_Error(text, length + 1);
        text[length] = '\0';
    }
    fprintf(stderr, "design_column: %s failed: %s\n", what, text ? text : "(no memory for the message)");
    free(text);
    return 1;
}

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s OUTDIR [MODELDIR]\n", argv[0]);
        return 2;
    }
    const char* models = argc == 3 ? argv[2] : MODEL_DIR;

    /* The output folder as an absolute path ending in '/': the library
     * joins it with the file names, and we change directory below. */
    char out[PATH_MAX];
    if ((mkdir(argv[1], 0777) != 0 && errno != EEXIST) || realpath(argv[1], out) == NULL
        || strlen(out) + 2 > sizeof out) {
        fprintf(stderr, "design_column: cannot use output folder %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    strcat(out, "/");

    /* The library opens the model archives by name in the current directory. */
    if (models[0] == '\0' || chdir(models) != 0) {
        fprintf(stderr, "design_column: cannot enter the models folder '%s'\n", models);
        return 1;
    }

    if (Talvek_Initial_Check() != TALVEK_OK) return fail("Talvek_Initial_Check");
    if (Talvek_MatLabInit() != TALVEK_OK) return fail("Talvek_MatLabInit");
    if (Talvek_Setup_Speaker(VEXAL32) != TALVEK_OK) return fail("Talvek_Setup_Speaker");
    if (Talvek_Optimizer(3.2, 0.0, ITEMS, 0, venue, 0.0, 0.0, 0.0, 0.0, 0.0) != TALVEK_OK)
        return fail("Talvek_Optimizer");

    int32_t woofers = 0, tweeters = 0;
    if (Talvek_Get_Nchannels(&woofers, &tweeters) != TALVEK_OK) return fail("Talvek_Get_Nchannels");
    if (Talvek_Write_Files(out, "church_nave") != TALVEK_OK) return fail("Talvek_Write_Files");

    printf("Vexal32 for the church nave: %d woofer and %d tweeter channels\n", woofers, tweeters);
    printf("wrote %schurch_nave_box1.bef, _box2.bef and _SFR.bin\n", out);
    Talvek_MatLabClose();
    return 0;
}
