/*
 * talvek: the MEX gateway from Octave and MATLAB to libtalvek.
 *
 *   talvek('Initial_Check')                     talvek('MatLabInit')
 *   talvek('MatLabClose')                       talvek('Setup_Speaker', k)
 *   f = talvek('Get_Frequencies')               talvek('Optimizer', height, tilt, vi, inactiveAsZero, p9)
 *   sfio = talvek('Get_SFIO')                   talvek('Put_SFIO_and_design_SFs', sfio)
 *   [nwf, ntw] = talvek('Get_Nchannels')        [Hwf, Htw] = talvek('SF_Response', f)
 *   [power, headroomDb] = talvek('Greens', g1, g2, x, z, first, last)
 *   talvek('Write_Files', folder, stem)
 *   folder = talvek('Model_Dir')                talvek('Model_Dir', folder)   ('' forgets it)
 *   file = talvek('Library')                    the libtalvek the gateway opened
 *
 * A failure of the library raises the error "talvek:<Export>" with the
 * library's own text; an argument the gateway refuses raises
 * "talvek:<Export>:argument" before anything reaches the library, so its
 * state stays as it was; a library or a model folder it cannot find raises
 * "talvek:<Export>:library" or "talvek:<Export>:folder".
 *
 * Complex data use the separate storage (mxGetPr and mxGetPi): Octave's mex
 * builds it by default and MATLAB's mex with -R2017b.
 * Octave 7's interleaved API allocates complex arrays at half their size.
 *
 * The library opens model archives by name in the current directory; the
 * gateway changes into the model folder around the exports that open them and
 * always changes back.
 */
#define _GNU_SOURCE /* dladdr, RTLD_DEEPBIND */

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mex.h"
#include "talvek.h"

#if defined(MX_HAS_INTERLEAVED_COMPLEX) && MX_HAS_INTERLEAVED_COMPLEX
#error "build with the separate complex storage: mkoctfile --mex, or mex -R2017b (not -R2018a)"
#endif

/* Largest frequency range a Greens request may span. A model document holds
 * far fewer frequencies (the archive loader refuses documents beyond 256 MiB);
 * the bound keeps a huge index range from turning into a huge allocation. */
#define MAX_GREENS_ROWS 65536

/* The runtime name carries the library's major version, as its SONAME does. */
#ifndef TALVEK_SOVERSION
#define TALVEK_SOVERSION 0
#endif
#define TEXT_OF(x) #x
#define TEXT(x) TEXT_OF(x)
#define LIBRARY_NAME "libtalvek.so"
#define RUNTIME_NAME LIBRARY_NAME "." TEXT(TALVEK_SOVERSION)

/* The exports the gateway calls, looked up in the library it opens. */
static struct {
    __typeof__(Talvek_MatLabInit)* MatLabInit;
    __typeof__(Talvek_MatLabClose)* MatLabClose;
    __typeof__(Talvek_Initial_Check)* Initial_Check;
    __typeof__(Talvek_Get_Error)* Get_Error;
    __typeof__(Talvek_Get_Frequencies)* Get_Frequencies;
    __typeof__(Talvek_Get_Nchannels)* Get_Nchannels;
    __typeof__(Talvek_Setup_Speaker)* Setup_Speaker;
    __typeof__(Talvek_Get_SFIO)* Get_SFIO;
    __typeof__(Talvek_Put_SFIO_and_design_SFs)* Put_SFIO_and_design_SFs;
    __typeof__(Talvek_Optimizer)* Optimizer;
    __typeof__(Talvek_Greens)* Greens;
    __typeof__(Talvek_SF_Response)* SF_Response;
    __typeof__(Talvek_Write_Files)* Write_Files;
} g_lib;

/* ------------------------------------------------------------------ errors */

static char g_message[1024];

/* Raises the error id with exactly this message. Octave's mexErrMsgIdAndTxt
 * would put "talvek: " before it, so the host's own error() raises it. Does
 * not return; nothing allocated with malloc may be live here. */
static void raiseError(const char* id, const char* message)
{
    mxArray* args[3] = {mxCreateString(id), mxCreateString("%s"), mxCreateString(message)};
    mexCallMATLAB(0, NULL, 3, args, "error");
    mexErrMsgIdAndTxt(id, "%s", message); /* not reached */
}

/* Raises "talvek:<Export>:<kind>" with the gateway's own message. */
static void vrefuse(const char* kind, const char* exportName, const char* format, va_list args)
{
    char id[96];
    int used = snprintf(g_message, sizeof g_message, "talvek('%s'): ", exportName);
    vsnprintf(g_message + used, sizeof g_message - (size_t)used, format, args);
    snprintf(id, sizeof id, "talvek:%s:%s", exportName, kind);
    raiseError(id, g_message);
}

/* A refused argument: "talvek:<Export>:argument". */
static void refuse(const char* exportName, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vrefuse("argument", exportName, format, args);
    va_end(args);
}

/* No usable model folder, or the current folder cannot be left or restored:
 * "talvek:<Export>:folder". */
static void folderProblem(const char* exportName, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vrefuse("folder", exportName, format, args);
    va_end(args);
}

/* The library cannot be found or opened: "talvek:<Export>:library". */
static void libraryProblem(const char* exportName, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vrefuse("library", exportName, format, args);
    va_end(args);
}

/* Raises "talvek:<Export>" with the library's text of the last failure, read
 * in full (the length first, then a buffer of length + 1). */
static void libraryFailure(const char* exportName)
{
    char id[96];
    int32_t length = g_lib.Get_Error(NULL, 0);
    char* text = mxCalloc((size_t)(length > 0 ? length : 0) + 1, 1);
    if (length > 0) g_lib.Get_Error(text, length + 1);
    snprintf(id, sizeof id, "talvek:%s", exportName);
    raiseError(id, length > 0 ? text : "the library failed without a message");
}

static void check(int32_t status, const char* exportName)
{
    if (status != TALVEK_OK) libraryFailure(exportName);
}

/* --------------------------------------------------------------- arguments */

typedef struct Call {
    const char* name;
    int nrhs;
    const mxArray** prhs; /* the arguments after the export's name */
} Call;

/* Argument i after the name, counted as the host sees talvek's arguments. */
static const char* ordinal(int i)
{
    static const char* names[] = {"second", "third", "fourth", "fifth", "sixth", "seventh"};
    return i < 6 ? names[i] : "next";
}

/* A real, full double array (empty allowed); what every numeric input must be. */
static const double* realDoubles(const Call* c, int i, const char* what)
{
    const mxArray* a = c->prhs[i];
    if (!mxIsDouble(a) || mxIsSparse(a))
        refuse(c->name, "%s (%s argument) must be a full double array, got %s%s", what, ordinal(i),
               mxIsSparse(a) ? "a sparse " : "", mxIsSparse(a) ? "matrix" : mxGetClassName(a));
    if (mxIsComplex(a)) refuse(c->name, "%s (%s argument) must be real, got a complex value", what, ordinal(i));
    return mxGetPr(a);
}

static void requireFinite(const Call* c, const double* v, size_t n, const char* what)
{
    for (size_t k = 0; k < n; ++k)
        if (!isfinite(v[k]))
            refuse(c->name, "%s must be finite, element %zu is %s", what, k + 1,
                   isnan(v[k]) ? "NaN" : v[k] > 0 ? "Inf" : "-Inf");
}

/* A finite real double scalar; logical true and false count as 1 and 0. */
static double scalar(const Call* c, int i, const char* what)
{
    const mxArray* a = c->prhs[i];
    double v;
    if (mxIsLogical(a) && !mxIsSparse(a) && mxGetNumberOfElements(a) == 1) {
        v = mxGetLogicals(a)[0] ? 1.0 : 0.0;
    } else {
        const double* p = realDoubles(c, i, what);
        if (mxGetNumberOfElements(a) != 1)
            refuse(c->name, "%s (%s argument) must be a scalar, got %zu x %zu", what, ordinal(i), mxGetM(a),
                   mxGetN(a));
        v = p[0];
    }
    requireFinite(c, &v, 1, what);
    return v;
}

/* A vector (1 x n, n x 1 or empty) of real doubles; its length in *count. */
static const double* vector(const Call* c, int i, const char* what, size_t* count)
{
    const mxArray* a = c->prhs[i];
    const double* p = realDoubles(c, i, what);
    size_t n = mxGetNumberOfElements(a);
    if (mxGetNumberOfDimensions(a) != 2 || (n > 0 && mxGetM(a) != 1 && mxGetN(a) != 1))
        refuse(c->name, "%s (%s argument) must be a vector, got %zu x %zu", what, ordinal(i), mxGetM(a), mxGetN(a));
    if (n > INT32_MAX) refuse(c->name, "%s has %zu elements; at most %d are possible", what, n, INT32_MAX);
    *count = n;
    return p;
}

/* A char row vector as a UTF-8 string (mxFree'd by the host after the call). */
static char* text(const Call* c, int i, const char* what)
{
    const mxArray* a = c->prhs[i];
    if (!mxIsChar(a) || mxGetNumberOfDimensions(a) != 2 || (mxGetM(a) > 1))
        refuse(c->name, "%s (%s argument) must be a character row vector, got %s", what, ordinal(i),
               mxGetClassName(a));
    char* s = mxArrayToString(a);
    if (s == NULL) refuse(c->name, "%s cannot be converted to text", what);
    return s;
}

/* ------------------------------------------------------------ model folder */

static char g_modelDir[PATH_MAX]; /* set by talvek('Model_Dir', folder); "" = search */

static int isFolder(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

/* The folder of a file, resolved; "" if it cannot be resolved. */
static void folderOf(const char* file, char* out)
{
    char resolved[PATH_MAX];
    out[0] = '\0';
    if (file == NULL || realpath(file, resolved) == NULL) return;
    char* slash = strrchr(resolved, '/');
    if (slash == NULL) return;
    *slash = '\0';
    snprintf(out, PATH_MAX, "%s", resolved[0] ? resolved : "/");
}

/* The folder levels above path ("/" at the top). */
static void parentOf(const char* path, int levels, char* out)
{
    snprintf(out, PATH_MAX, "%s", path);
    for (int k = 0; k < levels; ++k) {
        char* slash = strrchr(out, '/');
        if (slash == NULL) break;
        *slash = '\0';
    }
    if (out[0] == '\0') snprintf(out, PATH_MAX, "/");
}

/* The folder of the gateway itself. */
static void gatewayFolder(char* out)
{
    Dl_info info;
    out[0] = '\0';
    if (dladdr((const void*)&mexFunction, &info) != 0) folderOf(info.dli_fname, out);
}

/* The installation prefix of a folder at most four levels below <prefix>/lib
 * or <prefix>/lib64; "" when there is none. */
static void prefixOf(const char* folder, char* out)
{
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s", folder);
    out[0] = '\0';
    for (int level = 0; level < 4; ++level) {
        char* slash = strrchr(path, '/');
        const char* name = slash ? slash + 1 : path;
        if (strcmp(name, "lib") == 0 || strcmp(name, "lib64") == 0) {
            if (slash != NULL) {
                *slash = '\0';
                snprintf(out, PATH_MAX, "%s", path[0] ? path : "/");
            }
            return;
        }
        if (slash == NULL || slash == path) return;
        *slash = '\0';
    }
}

/* ----------------------------------------------------------- the library */

static void* g_library;              /* kept open for the life of the process */
static char g_libraryPath[PATH_MAX]; /* the file opened */

static int isFile(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

/* Opens a library file and looks every export up; 0 and the reason in why
 * when it cannot. RTLD_DEEPBIND: the library's references (its one BLAS
 * call) bind to its own dependencies first, not to the BLAS the host loaded
 * under another name (Octave's libblas.so.3). A libopenblas.so.0 the host has
 * loaded already is still shared: the loader does not open a second file of
 * one SONAME. */
static int openLibrary(const char* file, char* why, size_t size)
{
    void* handle = dlopen(file, RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
    if (handle == NULL) {
        snprintf(why, size, "cannot load %s: %s", file, dlerror());
        return 0;
    }
    const char* missing = NULL;
#define LOOKUP(name) \
    if ((*(void**)&g_lib.name = dlsym(handle, "Talvek_" #name)) == NULL) missing = "Talvek_" #name
    LOOKUP(MatLabInit);
    LOOKUP(MatLabClose);
    LOOKUP(Initial_Check);
    LOOKUP(Get_Error);
    LOOKUP(Get_Frequencies);
    LOOKUP(Get_Nchannels);
    LOOKUP(Setup_Speaker);
    LOOKUP(Get_SFIO);
    LOOKUP(Put_SFIO_and_design_SFs);
    LOOKUP(Optimizer);
    LOOKUP(Greens);
    LOOKUP(SF_Response);
    LOOKUP(Write_Files);
#undef LOOKUP
    if (missing != NULL) {
        snprintf(why, size, "%s has no %s", file, missing);
        memset(&g_lib, 0, sizeof g_lib);
        dlclose(handle);
        return 0;
    }
    Dl_info info;
    if (dladdr((const void*)g_lib.MatLabInit, &info) == 0 || info.dli_fname == NULL
        || realpath(info.dli_fname, g_libraryPath) == NULL)
        snprintf(g_libraryPath, sizeof g_libraryPath, "%s", file);
    g_library = handle;
    return 1;
}

/* Tries folder/libtalvek.so.<major>, then folder/libtalvek.so. */
static int openInFolder(const char* folder, char* why, size_t size)
{
    static const char* names[] = {RUNTIME_NAME, LIBRARY_NAME};
    for (int k = 0; k < 2; ++k) {
        char file[PATH_MAX];
        snprintf(file, sizeof file, "%s/%s", folder, names[k]);
        if (isFile(file)) return openLibrary(file, why, size);
    }
    return 0;
}

/* Opens the library in folder when it is there (1); otherwise adds the
 * folder to looked (0). A library that is there but unusable is an error. */
static int tryFolder(const char* exportName, const char* folder, char* looked, size_t size)
{
    char why[PATH_MAX + 256] = "";
    if (openInFolder(folder, why, sizeof why)) return 1;
    if (why[0]) libraryProblem(exportName, "%s", why);
    size_t used = strlen(looked);
    snprintf(looked + used, size - used, ", %s", folder);
    return 0;
}

/* Finds and opens libtalvek as the Python host does: TALVEK_LIBRARY (the
 * file or its folder); the library folder of the prefix the gateway is
 * installed under (the gateway sits in <libdir>/talvek/octave), then that
 * prefix's lib/ and lib64/; the folders of LD_LIBRARY_PATH; the loader's
 * own search (its cache); last the build tree the gateway was built in. */
static void loadLibrary(const char* exportName)
{
    if (g_library != NULL) return;
    char why[PATH_MAX + 256] = "";
    const char* given = getenv("TALVEK_LIBRARY");
    if (given != NULL && given[0] != '\0') {
        char file[PATH_MAX];
        snprintf(file, sizeof file, isFolder(given) ? "%s/" LIBRARY_NAME : "%s", given);
        if (!isFile(file)) libraryProblem(exportName, "no %s at %s (TALVEK_LIBRARY)", LIBRARY_NAME, file);
        if (!openLibrary(file, why, sizeof why)) libraryProblem(exportName, "%s", why);
        return;
    }
    char gateway[PATH_MAX], prefix[PATH_MAX] = "", folder[PATH_MAX];
    char looked[4096] = "TALVEK_LIBRARY (not set)";
    gatewayFolder(gateway);
    if (gateway[0]) prefixOf(gateway, prefix);
    if (prefix[0]) {
        parentOf(gateway, 2, folder);
        if (tryFolder(exportName, folder, looked, sizeof looked)) return;
        snprintf(folder, sizeof folder, "%s/lib", prefix);
        if (tryFolder(exportName, folder, looked, sizeof looked)) return;
        snprintf(folder, sizeof folder, "%s/lib64", prefix);
        if (tryFolder(exportName, folder, looked, sizeof looked)) return;
    }
    const char* paths = getenv("LD_LIBRARY_PATH");
    if (paths != NULL) {
        char copy[4096];
        snprintf(copy, sizeof copy, "%s", paths);
        for (char* dir = strtok(copy, ":"); dir != NULL; dir = strtok(NULL, ":"))
            if (tryFolder(exportName, dir, looked, sizeof looked)) return;
    }
    if (openLibrary(RUNTIME_NAME, why, sizeof why)) return;
    size_t used = strlen(looked);
    snprintf(looked + used, sizeof looked - used, ", the loader's search path");
    if (gateway[0]) {
        parentOf(gateway, 1, folder);
        if (tryFolder(exportName, folder, looked, sizeof looked)) return;
    }
    libraryProblem(exportName, "cannot find %s; looked in %s. Name it with TALVEK_LIBRARY", LIBRARY_NAME, looked);
}

/* Finds the model archives as the Python host does: the folder given to
 * Model_Dir, TALVEK_MODEL_DIR, the folder belonging to the library (models/
 * beside it in a build tree, share/talvek/models of its prefix), the prefix
 * the gateway is installed under, and last the build tree the gateway was
 * built in. Raises a gateway error listing every place it looked. */
static void findModelDir(const char* exportName, char* out)
{
    const char* given = g_modelDir[0] ? g_modelDir : getenv("TALVEK_MODEL_DIR");
    if (given != NULL && given[0] != '\0') {
        if (!isFolder(given) || realpath(given, out) == NULL)
            folderProblem(exportName, "models folder %s does not exist", given);
        return;
    }
    char library[PATH_MAX], gateway[PATH_MAX], prefix[PATH_MAX];
    char candidates[5][PATH_MAX];
    int n = 0;
    folderOf(g_libraryPath, library);
    gatewayFolder(gateway);
    if (library[0]) {
        snprintf(candidates[n++], PATH_MAX, "%s/models", library);
        prefixOf(library, prefix);
        if (prefix[0]) snprintf(candidates[n++], PATH_MAX, "%s/share/talvek/models", prefix);
    }
    if (gateway[0]) {
        prefixOf(gateway, prefix);
        if (prefix[0]) snprintf(candidates[n++], PATH_MAX, "%s/share/talvek/models", prefix);
        parentOf(gateway, 1, prefix);
        snprintf(candidates[n++], PATH_MAX, "%s/models", prefix);
    }
    char looked[2048] = "TALVEK_MODEL_DIR (not set)";
    for (int k = 0; k < n; ++k) {
        if (isFolder(candidates[k]) && realpath(candidates[k], out) != NULL) return;
        size_t used = strlen(looked);
        snprintf(looked + used, sizeof looked - used, ", %s", candidates[k]);
    }
    folderProblem(exportName, "cannot find the model archives; looked in %s. Name the folder with "
                       "talvek('Model_Dir', folder) or TALVEK_MODEL_DIR", looked);
}

/* The current directory is the model folder from enterModels until leaveModels. */
typedef struct Place {
    char previous[PATH_MAX];
} Place;

static void enterModels(const char* exportName, Place* place)
{
    char models[PATH_MAX];
    findModelDir(exportName, models);
    if (getcwd(place->previous, sizeof place->previous) == NULL)
        folderProblem(exportName, "cannot read the current folder: %s", strerror(errno));
    if (chdir(models) != 0) folderProblem(exportName, "cannot enter the models folder %s: %s", models, strerror(errno));
}

static void leaveModels(const char* exportName, const Place* place)
{
    if (chdir(place->previous) != 0)
        folderProblem(exportName, "cannot change back to %s: %s", place->previous, strerror(errno));
}

/* -------------------------------------------------------------- the exports */

static void cmdInitialCheck(const Call* c, int nlhs, mxArray** plhs)
{
    Place place;
    enterModels(c->name, &place);
    int32_t status = g_lib.Initial_Check();
    leaveModels(c->name, &place);
    check(status, c->name);
}

static void cmdMatLabInit(const Call* c, int nlhs, mxArray** plhs)
{
    check(g_lib.MatLabInit() == TALVEK_OK ? TALVEK_OK : TALVEK_FAILED, c->name);
}

static void cmdMatLabClose(const Call* c, int nlhs, mxArray** plhs)
{
    g_lib.MatLabClose();
}

static void cmdSetupSpeaker(const Call* c, int nlhs, mxArray** plhs)
{
    double k = scalar(c, 0, "the model number k");
    Place place;
    enterModels(c->name, &place);
    int32_t status = g_lib.Setup_Speaker(k);
    leaveModels(c->name, &place);
    check(status, c->name);
}

static void cmdGetFrequencies(const Call* c, int nlhs, mxArray** plhs)
{
    int32_t count = 0;
    g_lib.Get_Frequencies(0, &count, NULL);
    mxArray* f = mxCreateDoubleMatrix(1, count > 0 ? (size_t)count : 0, mxREAL);
    int32_t status = g_lib.Get_Frequencies(count, &count, mxGetPr(f));
    if (status != TALVEK_OK) {
        mxDestroyArray(f);
        libraryFailure(c->name);
    }
    plhs[0] = f;
}

static void cmdOptimizer(const Call* c, int nlhs, mxArray** plhs)
{
    double height = scalar(c, 0, "height");
    double tilt = scalar(c, 1, "tilt");
    const mxArray* table = c->prhs[2];
    const double* vi = realDoubles(c, 2, "the venue table vi");
    if (mxGetNumberOfDimensions(table) != 2 || mxGetN(table) != 7)
        refuse(c->name, "the venue table vi must be n x 7 (x1, x2, z1, z2, level1, level2, active), got %zu x %zu",
               mxGetM(table), mxGetN(table));
    size_t n = mxGetM(table);
    if (n > INT32_MAX / 7) refuse(c->name, "the venue table has %zu rows; at most %d are possible", n, INT32_MAX / 7);
    requireFinite(c, vi, n * 7, "the venue table vi");
    double inactiveAsZero = scalar(c, 3, "inactiveAsZero");
    double p9 = scalar(c, 4, "p9");
    static const double none = 0.0; /* an empty table still hands the library an address */
    Place place;
    enterModels(c->name, &place);
    int32_t status = g_lib.Optimizer(height, tilt, (int32_t)n, 0, n ? vi : &none, 0.0, 0.0, inactiveAsZero, p9, 0.0);
    leaveModels(c->name, &place);
    check(status, c->name);
}

/* The host copy of the library's record: reused, so that the library frees
 * its previous copy in it (the arrays belong to the library's allocator). */
static SFIO g_record;

static const char* kSectionFields[] = {"freq", "H"};
static const char* kRecordFields[] = {"arraytype", "wf", "tw"};

static mxArray* sectionStruct(const SFIOChannelSet* s)
{
    size_t nf = s->nFreq > 0 ? (size_t)s->nFreq : 0, nc = s->nChan > 0 ? (size_t)s->nChan : 0;
    mxArray* section = mxCreateStructMatrix(1, 1, 2, kSectionFields);
    mxArray* freq = mxCreateDoubleMatrix(1, nf, mxREAL);
    mxArray* H = mxCreateDoubleMatrix(nc, nf, mxCOMPLEX);
    if (nf) memcpy(mxGetPr(freq), s->freq, nf * sizeof(double));
    double* re = mxGetPr(H);
    double* im = mxGetPi(H);
    for (size_t m = 0; m < nc; ++m)
        for (size_t k = 0; k < nf; ++k) {
            re[m + k * nc] = s->re[m][k];
            im[m + k * nc] = s->im[m][k];
        }
    mxSetField(section, 0, "freq", freq);
    mxSetField(section, 0, "H", H);
    return section;
}

static void cmdGetSFIO(const Call* c, int nlhs, mxArray** plhs)
{
    check(g_lib.Get_SFIO(&g_record), c->name);
    mxArray* record = mxCreateStructMatrix(1, 1, 3, kRecordFields);
    mxSetField(record, 0, "arraytype", mxCreateDoubleScalar(g_record.arraytype));
    mxSetField(record, 0, "wf", sectionStruct(&g_record.wf));
    mxSetField(record, 0, "tw", sectionStruct(&g_record.tw));
    plhs[0] = record;
}

static const mxArray* field(const Call* c, const mxArray* s, const char* name, const char* where)
{
    const mxArray* f = mxGetField(s, 0, name);
    if (f == NULL) refuse(c->name, "%s has no field '%s'", where, name);
    return f;
}

/* One section of a host record as the library's channel set; the arrays are
 * mxMalloc'd and go with the call. H may be real: Octave stores a complex
 * matrix whose imaginary parts are all zero as a real one. */
static void sectionFromStruct(const Call* c, const mxArray* record, const char* name, SFIOChannelSet* out)
{
    char where[32];
    snprintf(where, sizeof where, "sfio.%s", name);
    const mxArray* section = field(c, record, name, "sfio");
    if (!mxIsStruct(section) || mxGetNumberOfElements(section) != 1)
        refuse(c->name, "%s must be a 1 x 1 struct with fields freq and H", where);
    const mxArray* freq = field(c, section, "freq", where);
    const mxArray* H = field(c, section, "H", where);
    if (!mxIsDouble(freq) || mxIsSparse(freq) || mxIsComplex(freq) || mxGetNumberOfDimensions(freq) != 2
        || (mxGetM(freq) > 1 && mxGetN(freq) > 1))
        refuse(c->name, "%s.freq must be a real double vector", where);
    if (!mxIsDouble(H) || mxIsSparse(H) || mxGetNumberOfDimensions(H) != 2)
        refuse(c->name, "%s.H must be a full double matrix (channels x frequencies)", where);
    size_t nf = mxGetNumberOfElements(freq), nc = mxGetM(H);
    if (mxGetNumberOfElements(H) == 0) nc = 0;
    if (nc > 0 && mxGetN(H) != nf)
        refuse(c->name, "%s.H is %zu x %zu but %s.freq has %zu frequencies", where, mxGetM(H), mxGetN(H), where, nf);
    if (nf > INT32_MAX || nc > INT32_MAX) refuse(c->name, "%s is too large", where);
    requireFinite(c, mxGetPr(freq), nf, "sfio frequencies");

    out->nFreq = (int32_t)nf;
    out->nChan = (int32_t)nc;
    out->freq = nf ? mxGetPr(freq) : NULL;
    out->re = nc ? mxMalloc(nc * sizeof(double*)) : NULL;
    out->im = nc ? mxMalloc(nc * sizeof(double*)) : NULL;
    const double* re = mxGetPr(H);
    const double* im = mxIsComplex(H) ? mxGetPi(H) : NULL;
    for (size_t m = 0; m < nc; ++m) {
        out->re[m] = mxMalloc((nf ? nf : 1) * sizeof(double));
        out->im[m] = mxMalloc((nf ? nf : 1) * sizeof(double));
        for (size_t k = 0; k < nf; ++k) {
            out->re[m][k] = re[m + k * nc];
            out->im[m][k] = im ? im[m + k * nc] : 0.0;
            if (!isfinite(out->re[m][k]) || !isfinite(out->im[m][k]))
                refuse(c->name, "%s.H(%zu, %zu) is not finite", where, m + 1, k + 1);
        }
    }
}

static void cmdPutSFIO(const Call* c, int nlhs, mxArray** plhs)
{
    const mxArray* record = c->prhs[0];
    if (!mxIsStruct(record) || mxGetNumberOfElements(record) != 1)
        refuse(c->name, "sfio must be a 1 x 1 struct with fields arraytype, wf and tw (as Get_SFIO returns), got %s",
               mxGetClassName(record));
    const mxArray* type = field(c, record, "arraytype", "sfio");
    if (!mxIsDouble(type) || mxIsComplex(type) || mxIsSparse(type) || mxGetNumberOfElements(type) != 1)
        refuse(c->name, "sfio.arraytype must be a real double scalar");
    double arraytype = mxGetPr(type)[0];
    if (!(arraytype >= INT32_MIN && arraytype <= INT32_MAX) || arraytype != floor(arraytype))
        refuse(c->name, "sfio.arraytype must be a whole number, got %g", arraytype);
    SFIO in;
    memset(&in, 0, sizeof in);
    in.arraytype = (int32_t)arraytype;
    sectionFromStruct(c, record, "wf", &in.wf);
    sectionFromStruct(c, record, "tw", &in.tw);
    Place place;
    enterModels(c->name, &place);
    int32_t status = g_lib.Put_SFIO_and_design_SFs(&in);
    leaveModels(c->name, &place);
    for (int s = 0; s < 2; ++s) {
        SFIOChannelSet* set = s ? &in.tw : &in.wf;
        for (int32_t m = 0; m < set->nChan; ++m) {
            mxFree(set->re[m]);
            mxFree(set->im[m]);
        }
        mxFree(set->re);
        mxFree(set->im);
    }
    check(status, c->name);
}

static void cmdGetNchannels(const Call* c, int nlhs, mxArray** plhs)
{
    int32_t a = 0, b = 0;
    check(g_lib.Get_Nchannels(&a, &b), c->name);
    plhs[0] = mxCreateDoubleScalar(a);
    if (nlhs > 1) plhs[1] = mxCreateDoubleScalar(b);
}

/* Row arrays for one section of a response request. */
static double** rows(size_t channels, size_t n)
{
    double** r = mxMalloc((channels ? channels : 1) * sizeof(double*));
    for (size_t m = 0; m < channels; ++m) r[m] = mxCalloc(n ? n : 1, sizeof(double));
    return r;
}

static mxArray* complexMatrix(size_t channels, size_t n, double** re, double** im)
{
    mxArray* H = mxCreateDoubleMatrix(channels, n, mxCOMPLEX);
    double* hr = mxGetPr(H);
    double* hi = mxGetPi(H);
    for (size_t m = 0; m < channels; ++m) {
        for (size_t k = 0; k < n; ++k) {
            hr[m + k * channels] = re[m][k];
            hi[m + k * channels] = im[m][k];
        }
        mxFree(re[m]);
        mxFree(im[m]);
    }
    mxFree(re);
    mxFree(im);
    return H;
}

static void cmdSFResponse(const Call* c, int nlhs, mxArray** plhs)
{
    size_t n;
    const double* f = vector(c, 0, "the frequencies f", &n);
    SFResponseRequest request;
    memset(&request, 0, sizeof request);
    int32_t wf = 0, tw = 0;
    if (g_lib.Get_Nchannels(&wf, &tw) != TALVEK_OK) {
        /* No design: the empty request draws the response export's own text. */
        check(g_lib.SF_Response(&request), c->name);
        libraryFailure("Get_Nchannels");
    }
    request.nFreq = (int32_t)n;
    request.nChanWf = wf;
    request.nChanTw = tw;
    static const double none = 0.0;
    request.freq = n ? f : &none;
    request.reWf = rows((size_t)wf, n);
    request.imWf = rows((size_t)wf, n);
    request.reTw = tw > 0 ? rows((size_t)tw, n) : NULL;
    request.imTw = tw > 0 ? rows((size_t)tw, n) : NULL;
    check(g_lib.SF_Response(&request), c->name);
    plhs[0] = complexMatrix((size_t)wf, n, request.reWf, request.imWf);
    if (nlhs > 1)
        plhs[1] = tw > 0 ? complexMatrix((size_t)tw, n, request.reTw, request.imTw)
                         : mxCreateDoubleMatrix(0, n, mxCOMPLEX);
}

static void cmdGreens(const Call* c, int nlhs, mxArray** plhs)
{
    double g1 = scalar(c, 0, "the height g1");
    double g2 = scalar(c, 1, "the tilt g2");
    size_t nx, nz;
    const double* x = vector(c, 2, "x", &nx);
    const double* z = vector(c, 3, "z", &nz);
    if (nx != nz) refuse(c->name, "x and z must have as many elements (%zu and %zu)", nx, nz);
    requireFinite(c, x, nx, "x");
    requireFinite(c, z, nz, "z");
    double first = scalar(c, 4, "first");
    double last = scalar(c, 5, "last");
    /* The library takes the indices' whole parts; a range it refuses gets a
     * one-element buffer it never writes. */
    double span = trunc(last) - trunc(first) + 1.0;
    if (span > MAX_GREENS_ROWS)
        refuse(c->name, "first..last spans %g frequencies; a model has far fewer", span);
    size_t nrows = span >= 1.0 && first >= 1.0 ? (size_t)span : 0;
    mxArray* power = mxCreateDoubleMatrix(nrows, nx, mxREAL);
    static double scratch[1];
    static const double none = 0.0;
    double* out = nrows && nx ? mxGetPr(power) : scratch;
    double headroom = 0.0;
    Place place;
    enterModels(c->name, &place);
    int32_t status = g_lib.Greens(g1, g2, nx ? x : &none, nz ? z : &none, (int32_t)nx, first, last, out, &headroom);
    leaveModels(c->name, &place);
    if (status != TALVEK_OK) {
        mxDestroyArray(power);
        libraryFailure(c->name);
    }
    plhs[0] = power;
    if (nlhs > 1) plhs[1] = mxCreateDoubleScalar(headroom);
}

static void cmdWriteFiles(const Call* c, int nlhs, mxArray** plhs)
{
    char* folder = text(c, 0, "folder");
    char* stem = text(c, 1, "stem");
    if (folder[0] == '\0') refuse(c->name, "folder is empty");
    if (stem[0] == '\0' || strchr(stem, '/') != NULL)
        refuse(c->name, "stem must be a file name without a folder, got '%s'", stem);
    /* The library joins folder and name as given: make the folder absolute
     * (relative to the current folder) and end it with a separator. */
    char cwd[PATH_MAX];
    if (folder[0] != '/' && getcwd(cwd, sizeof cwd) == NULL)
        refuse(c->name, "cannot read the current folder: %s", strerror(errno));
    size_t size = strlen(folder) + (folder[0] != '/' ? strlen(cwd) + 1 : 0) + 2;
    char* dir = mxMalloc(size);
    snprintf(dir, size, "%s%s%s", folder[0] != '/' ? cwd : "", folder[0] != '/' ? "/" : "", folder);
    if (dir[strlen(dir) - 1] != '/') strcat(dir, "/");
    int32_t status = g_lib.Write_Files(dir, stem);
    mxFree(dir);
    mxFree(folder);
    mxFree(stem);
    check(status, c->name);
}

static void cmdLibrary(const Call* c, int nlhs, mxArray** plhs)
{
    plhs[0] = mxCreateString(g_libraryPath);
}

static void cmdModelDir(const Call* c, int nlhs, mxArray** plhs)
{
    if (c->nrhs == 1) {
        char* folder = text(c, 0, "folder");
        if (folder[0] != '\0' && !isFolder(folder)) refuse(c->name, "models folder %s does not exist", folder);
        char resolved[PATH_MAX] = "";
        if (folder[0] != '\0' && realpath(folder, resolved) == NULL)
            refuse(c->name, "cannot resolve %s: %s", folder, strerror(errno));
        mxFree(folder);
        memcpy(g_modelDir, resolved, sizeof g_modelDir);
        if (nlhs < 1) return;
    }
    char models[PATH_MAX];
    findModelDir(c->name, models);
    plhs[0] = mxCreateString(models);
}

/* ------------------------------------------------------------ the dispatch */

typedef void (*Handler)(const Call*, int, mxArray**);

typedef struct Command {
    const char* name;
    Handler run;
    int minArgs, maxArgs, maxOutputs;
} Command;

static const Command kCommands[] = {
    {"Initial_Check", cmdInitialCheck, 0, 0, 0},
    {"MatLabInit", cmdMatLabInit, 0, 0, 0},
    {"MatLabClose", cmdMatLabClose, 0, 0, 0},
    {"Setup_Speaker", cmdSetupSpeaker, 1, 1, 0},
    {"Get_Frequencies", cmdGetFrequencies, 0, 0, 1},
    {"Optimizer", cmdOptimizer, 5, 5, 0},
    {"Get_SFIO", cmdGetSFIO, 0, 0, 1},
    {"Put_SFIO_and_design_SFs", cmdPutSFIO, 1, 1, 0},
    {"Get_Nchannels", cmdGetNchannels, 0, 0, 2},
    {"SF_Response", cmdSFResponse, 1, 1, 2},
    {"Greens", cmdGreens, 6, 6, 2},
    {"Write_Files", cmdWriteFiles, 2, 2, 0},
    {"Model_Dir", cmdModelDir, 0, 1, 1},
    {"Library", cmdLibrary, 0, 0, 1},
};

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    enum { COUNT = sizeof kCommands / sizeof kCommands[0] };
    char names[512] = "";
    for (int k = 0; k < COUNT; ++k) {
        size_t used = strlen(names);
        snprintf(names + used, sizeof names - used, "%s%s", k ? ", " : "", kCommands[k].name);
    }
    if (nrhs < 1 || !mxIsChar(prhs[0]) || mxGetM(prhs[0]) > 1)
    {
        snprintf(g_message, sizeof g_message, "talvek: the first argument names the function, one of %s", names);
        raiseError("talvek:argument", g_message);
    }
    char name[64];
    if (mxGetString(prhs[0], name, sizeof name) != 0) name[0] = '\0';
    const Command* command = NULL;
    for (int k = 0; k < COUNT; ++k)
        if (strcmp(name, kCommands[k].name) == 0) command = &kCommands[k];
    if (command == NULL)
    {
        snprintf(g_message, sizeof g_message, "talvek: unknown function '%s'; one of %s", name, names);
        raiseError("talvek:argument", g_message);
    }

    loadLibrary(command->name);
    Call call = {command->name, nrhs - 1, prhs + 1};
    if (call.nrhs < command->minArgs || call.nrhs > command->maxArgs) {
        if (command->minArgs == command->maxArgs)
            refuse(command->name, "takes %d argument%s after the name, got %d", command->minArgs,
                   command->minArgs == 1 ? "" : "s", call.nrhs);
        refuse(command->name, "takes %d to %d arguments after the name, got %d", command->minArgs,
               command->maxArgs, call.nrhs);
    }
    if (nlhs > (command->maxOutputs > 0 ? command->maxOutputs : 1) ||
        (command->maxOutputs == 0 && nlhs > 0))
        refuse(command->name, "returns %d value%s, %d asked for", command->maxOutputs,
               command->maxOutputs == 1 ? "" : "s", nlhs);
    command->run(&call, nlhs, plhs);
}
