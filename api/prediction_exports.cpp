// Exports that read the current design: the sound field, the steering-filter
// responses and the processor files.
#include <cmath>
#include <cstring>

#include "acoustics/greens.h"
#include "api/export_guard.h"
#include "filters/output_files.h"
#include "filters/sf_response.h"
#include "model/model_cache.h"

using namespace TalvekLib;

namespace {

// 1-based host index (a double) to a zero-based index.
int zeroBasedIndex(double hostIndex, const char* name) {
    if (!(std::fabs(hostIndex) < 2147483647.0))
        throw std::runtime_error(std::string("Talvek_Greens: ") + name + " is out of range.");
    return static_cast<int>(hostIndex) - 1;
}

int32_t greens(double g1, double g2, const double* x, const double* y, int32_t pointCount, double indexA,
               double indexB, double* out, double* outScalar) {
    requireSettings("Talvek_Greens");
    requireModelName("Talvek_Greens");
    const ModelData* model = loadModel(libraryState().modelName);
    if (model == nullptr) throw CallOrderError("Talvek_Greens: no model is loaded.");
    const SpeakerDesign& design = requireDesign("Talvek_Greens");
    if (pointCount <= 0) throw std::runtime_error("Talvek_Greens: pointCount must be at least 1.");
    requirePointer(x, "Talvek_Greens", "x");
    requirePointer(y, "Talvek_Greens", "y");
    requirePointer(out, "Talvek_Greens", "out");
    requirePointer(outScalar, "Talvek_Greens", "outScalar");
    if (!std::isfinite(g1) || !std::isfinite(g2))
        throw std::runtime_error("Talvek_Greens: height and tilt must be finite.");

    const Vector px = Eigen::Map<const Vector>(x, pointCount);
    const Vector py = Eigen::Map<const Vector>(y, pointCount);
    // Beyond 100 km the phase of the propagation delay means nothing.
    constexpr double kMaxCoordinate = 1.0e5;
    if (!(px.cwiseAbs().maxCoeff() <= kMaxCoordinate && py.cwiseAbs().maxCoeff() <= kMaxCoordinate))
        throw std::runtime_error("Talvek_Greens: listener points must be finite and within 100 km.");
    const GreensResult result =
        computeGreens(*model, design, g1, g2, px, py, zeroBasedIndex(indexA, "indexA"),
                      zeroBasedIndex(indexB, "indexB"), referenceCurve(), librarySettings(),
                      &libraryState().channelChains);
    std::memcpy(out, result.power.data(), sizeof(double) * result.power.size());
    *outScalar = result.headroomDb;
    return 1;
}

void copyResponses(const CMatrix& H, int channels, double** re, double** im, int nFreq) {
    for (int c = 0; c < channels; ++c) {
        for (int n = 0; n < nFreq; ++n) {
            re[c][n] = H(n, c).real();
            im[c][n] = H(n, c).imag();
        }
    }
}

void checkChannelArrays(int channels, int available, double** re, double** im, int nFreq, const char* section) {
    const std::string where = std::string("Talvek_SF_Response: ") + section;
    if (channels > available) {
        throw std::runtime_error(where + " asks for " + std::to_string(channels) + " channels; the design has " +
                                 std::to_string(available) + ".");
    }
    if (channels <= 0 || nFreq == 0) return;
    if (re == nullptr || im == nullptr) throw std::runtime_error(where + " output arrays are null pointers.");
    for (int c = 0; c < channels; ++c) {
        if (re[c] == nullptr || im[c] == nullptr) throw std::runtime_error(where + " output array is a null pointer.");
    }
}

int32_t steeringResponses(const SFResponseRequest* request) {
    requirePointer(request, "Talvek_SF_Response", "request");
    requireSettings("Talvek_SF_Response");
    const SpeakerDesign& design = requireDesign("Talvek_SF_Response");
    const SFResponseRequest& r = *request;
    if (r.nFreq < 0) throw std::runtime_error("Talvek_SF_Response: nFreq is negative.");
    if (r.nFreq > 0) requirePointer(r.freq, "Talvek_SF_Response", "freq");
    checkChannelArrays(r.nChanWf, design.wf.outputshifts.size(), r.reWf, r.imWf, r.nFreq, "wf");
    checkChannelArrays(r.nChanTw, design.tw.outputshifts.size(), r.reTw, r.imTw, r.nFreq, "tw");
    if (r.nFreq == 0) return 1;

    const double fs = librarySettings().sampleRate;
    const Vector f = Eigen::Map<const Vector>(r.freq, r.nFreq);
    if (r.nChanWf > 0) copyResponses(channelResponses(design.wf, f, fs), r.nChanWf, r.reWf, r.imWf, r.nFreq);
    if (r.nChanTw > 0) copyResponses(channelResponses(design.tw, f, fs), r.nChanTw, r.reTw, r.imTw, r.nFreq);
    return 1;
}

int32_t writeFiles(const char* dir, const char* name) {
    requirePointer(dir, "Talvek_Write_Files", "dir");
    requirePointer(name, "Talvek_Write_Files", "name");
    requireSettings("Talvek_Write_Files");
    const SpeakerDesign& design = requireDesign("Talvek_Write_Files");
    const std::string base = std::string(dir) + name;  // no separator is inserted
    writeFilterSetFiles(base, design, librarySettings());
    writeResponseFile(base, design, librarySettings());
    return 1;
}

}  // namespace

extern "C" {

int32_t Talvek_Greens(double g1, double g2, const double* x, const double* y, int32_t pointCount, double indexA,
                      double indexB, double* out, double* outScalar) {
    return guardedExport([&] { return greens(g1, g2, x, y, pointCount, indexA, indexB, out, outScalar); });
}

int32_t Talvek_SF_Response(const SFResponseRequest* request) {
    return guardedExport([&] { return steeringResponses(request); });
}

int32_t Talvek_Write_Files(const char* dir, const char* name) {
    return guardedExport([&] { return writeFiles(dir, name); });
}

}  // extern "C"
