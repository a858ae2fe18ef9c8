/*
 * Talvek: beam steering for digitally steerable column loudspeakers.
 *
 * The whole public interface of libtalvek.so: fourteen plain C functions and
 * the records they exchange with the host. Every function runs to completion
 * on the caller's thread; call one at a time.
 *
 * Calling order: Talvek_Initial_Check, Talvek_MatLabInit, Talvek_Setup_Speaker,
 * then Talvek_Optimizer (or Talvek_Put_SFIO_and_design_SFs), then any of the
 * read-out functions. After a failure, Talvek_Get_Error returns the reason.
 * Model archives ("<model>.bin") are opened relative to the current directory.
 */
#ifndef TALVEK_H
#define TALVEK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define TALVEK_EXPORT __declspec(dllexport)
#else
#define TALVEK_EXPORT __attribute__((visibility("default")))
#endif

/* Status codes. */
#define TALVEK_OK 1
#define TALVEK_FAILED (-1)
#define TALVEK_INIT_FAILED (-2) /* Talvek_MatLabInit only */

/* Steering responses of one driver section: nChan channels at nFreq frequencies.
 * re[m][n] + j im[m][n] is channel m's response at freq[n] Hz. Arrays belong to
 * the library's allocator (malloc/free); never free them from the host. */
typedef struct SFIOChannelSet {
    int32_t nFreq;
    int32_t nChan;
    double* freq;
    double** re;
    double** im;
} SFIOChannelSet;

/* The steering-filter input/output record. arraytype 0 means empty. A host
 * record must be zeroed before its first use with Talvek_Get_SFIO. */
typedef struct SFIO {
    SFIOChannelSet wf; /* low-frequency section */
    SFIOChannelSet tw; /* high-frequency section; all zero for one-way models */
    int32_t arraytype;
} SFIO;

/* Request for Talvek_SF_Response. The host owns every array. */
typedef struct SFResponseRequest {
    int32_t nFreq;   /* number of frequencies */
    int32_t nChanWf; /* woofer channels to return */
    int32_t nChanTw; /* tweeter channels to return; 0 or less for none */
    const double* freq;
    double** reWf;
    double** imWf;
    double** reTw;
    double** imTw;
} SFResponseRequest;

/* Creates the settings and the reference curve. Returns 1, or -2 on failure. */
TALVEK_EXPORT int32_t Talvek_MatLabInit(void);

/* Does nothing; the library state lives until the library is unloaded. */
TALVEK_EXPORT void Talvek_MatLabClose(void);

/* Empties the error text and the model name, then checks that every bundled
 * model archive can be opened. Returns 1, or -1 naming the first missing file. */
TALVEK_EXPORT int32_t Talvek_Initial_Check(void);

/* Copies the last failure's text into buffer (at most size bytes, zero-filled
 * when shorter, unterminated when it does not fit). Returns the text's length. */
TALVEK_EXPORT int32_t Talvek_Get_Error(char* buffer, int32_t size);

/* Output frequency grid (215 points, 50 Hz to 24 kHz). Needs Talvek_MatLabInit.
 * Writes the count always; returns -1 without writing frequencies when
 * capacity is too small (the error text is left alone). */
TALVEK_EXPORT int32_t Talvek_Get_Frequencies(int32_t capacity, int32_t* count, double* frequencies);

/* Channel counts of the current design (tweeter 0 for one-way). Needs a design. */
TALVEK_EXPORT int32_t Talvek_Get_Nchannels(int32_t* channelsA, int32_t* channelsB);

/* Chooses model k = trunc(modelNumber) and loads "<name>.bin". Needs
 * Talvek_Initial_Check. The name is kept even when the load fails (-1). */
TALVEK_EXPORT int32_t Talvek_Setup_Speaker(double modelNumber);

/* Copies the library's SFIO record into *out (freeing what an earlier copy
 * into the same record left there). Needs an optimisation. */
TALVEK_EXPORT int32_t Talvek_Get_SFIO(SFIO* out);

/* Writes the address of the library's own SFIO record. Needs an optimisation;
 * otherwise writes a null pointer and returns -1. */
TALVEK_EXPORT int32_t Talvek_Get_SFIO_pointer(SFIO** out);

/* Designs the steering filters from a stored SFIO record of the loaded model.
 * Needs Talvek_MatLabInit and Talvek_Setup_Speaker. Returns 1 or -1. */
TALVEK_EXPORT int32_t Talvek_Put_SFIO_and_design_SFs(const SFIO* in);

/* Optimises and designs the steering filters for a venue.
 * p1: height of the column's reference point (m); p2: tilt (degrees, positive
 * aims upwards); vi: viCount x 7 column-major table (x1, x2, z1, z2, level1,
 * level2 in dB SPL, active flag); p8: inactive items get target 0 instead of
 * leaving the fit; p9: woofer iterations = ceil(10 p9) when positive.
 * reserved, p6, p7 and p10 are not used. Needs Talvek_MatLabInit and
 * Talvek_Setup_Speaker. Returns 1 or -1. */
TALVEK_EXPORT int32_t Talvek_Optimizer(double p1, double p2, int32_t viCount, int32_t reserved,
                                       const double* vi, double p6, double p7, double p8, double p9,
                                       double p10);

/* Sound power at pointCount points (x, y) for the model's frequencies
 * indexA..indexB (1-based, inclusive), column at height g1 with tilt g2.
 * out receives (indexB - indexA + 1) x pointCount doubles, column-major;
 * *outScalar the design's headroom in dB. Needs a design. Returns 1 or -1. */
TALVEK_EXPORT int32_t Talvek_Greens(double g1, double g2, const double* x, const double* y,
                                    int32_t pointCount, double indexA, double indexB, double* out,
                                    double* outScalar);

/* Complex responses of the designed steering filters at the request's
 * frequencies. Needs a design. Returns 1, or -1 for a request the design
 * cannot serve. */
TALVEK_EXPORT int32_t Talvek_SF_Response(const SFResponseRequest* request);

/* Writes dir+name+"_box<k>.bef" for every box and dir+name+"_SFR.bin".
 * Needs a design. Returns 1 or -1. */
TALVEK_EXPORT int32_t Talvek_Write_Files(const char* dir, const char* name);

#ifdef __cplusplus
}
#endif

#endif /* TALVEK_H */
