// Exports that make a steering design (by optimisation or from a stored SFIO
// record) and read out what it left in the library.
#include "api/export_guard.h"
#include "api/host_record_checks.h"
#include "api/venue_table.h"
#include "model/model_cache.h"
#include "optimiser/design_pipeline.h"

using namespace TalvekLib;

namespace {

const ModelData& currentModel(const char* exportName) {
    requireModelName(exportName);
    const ModelData* model = loadModel(libraryState().modelName);
    if (model == nullptr) throw CallOrderError(std::string(exportName) + ": no model is loaded.");
    return *model;
}

SpeakerDesign& designRecord() {
    auto& design = libraryState().design;
    if (!design) design = std::make_unique<SpeakerDesign>();
    return *design;
}

int32_t optimise(double p1, double p2, int32_t viCount, const double* vi, double p8, double p9) {
    requireSettings("Talvek_Optimizer");
    const ModelData& model = currentModel("Talvek_Optimizer");
    const std::vector<VenueItem> items = readVenueTable(viCount, vi);
    if (!std::isfinite(p1) || !std::isfinite(p2) || !std::isfinite(p9))
        throw std::runtime_error("Talvek_Optimizer: height, tilt and iteration control must be finite.");
    // ceil(10 p9) iterations, each a solve at every frequency: 1000 is far beyond any use.
    if (p9 > 100.0) throw std::runtime_error("Talvek_Optimizer: iteration control p9 must be at most 100.");
    SpeakerDesign& design = designRecord();

    PipelineOptions options;
    options.p1 = p1;
    options.p2 = p2;
    options.inactiveAsZero = p8 != 0.0;
    options.p9 = p9;
    options.optimise = true;
    options.fitCache = &libraryState().fitCache;
    const SpeakerDesign result = runDesignPipeline(model, items, options, libraryState().sfio);
    storeDesign(result, design);
    return 1;
}

int32_t putRecordAndDesign(const SFIO* in) {
    requirePointer(in, "Talvek_Put_SFIO_and_design_SFs", "in");
    requireSettings("Talvek_Put_SFIO_and_design_SFs");
    checkRecordStructure(*in);
    auto& state = libraryState();
    const char* noModel = "You must call Talvek_Setup_Speaker before loading up a Steering Filter set";
    const char* mismatch = "New SFIO does not match presently loaded Vexal model";
    if (state.modelName.empty()) throw std::runtime_error(noModel);
    // The first record after start-up is taken in before the tests, so a
    // refused first record stays in the library.
    if (state.sfio.arraytype == 0) copySFIO(*in, state.sfio);
    if (state.sfio.arraytype != in->arraytype) throw std::runtime_error(mismatch);
    const ModelData& model = currentModel("Talvek_Put_SFIO_and_design_SFs");
    if (model.arraytype != in->arraytype) throw std::runtime_error(mismatch);
    checkRecordFitsModel(*in, model);
    copySFIO(*in, state.sfio);

    SpeakerDesign& design = designRecord();
    PipelineOptions options;
    options.optimise = false;
    const SpeakerDesign result = runDesignPipeline(model, {}, options, state.sfio);
    storeDesign(result, design);
    return 1;
}

int32_t getRecord(SFIO* out) {
    requirePointer(out, "Talvek_Get_SFIO", "out");
    const SFIO& own = libraryState().sfio;
    if (own.arraytype == 0)
        throw std::runtime_error("You must run at least one optimization before you can read a valid SFIO struct");
    copySFIO(own, *out);
    return 1;
}

int32_t getRecordPointer(SFIO** out) {
    requirePointer(out, "Talvek_Get_SFIO_pointer", "out");
    SFIO& own = libraryState().sfio;
    if (own.arraytype == 0) {
        *out = nullptr;
        throw std::runtime_error(
            "You must run at least one optimization before you can read a pointer to a valid SFIO struct");
    }
    *out = &own;
    return 1;
}

int32_t getChannelCounts(int32_t* channelsA, int32_t* channelsB) {
    requirePointer(channelsA, "Talvek_Get_Nchannels", "channelsA");
    requirePointer(channelsB, "Talvek_Get_Nchannels", "channelsB");
    const SpeakerDesign& design = requireDesign("Talvek_Get_Nchannels");
    *channelsA = design.wf.outputshifts.size();
    *channelsB = design.tw.outputshifts.size();
    return 1;
}

}  // namespace

extern "C" {

int32_t Talvek_Optimizer(double p1, double p2, int32_t viCount, int32_t /*reserved*/, const double* vi,
                         double /*p6*/, double /*p7*/, double p8, double p9, double /*p10*/) {
    return guardedExport([&] { return optimise(p1, p2, viCount, vi, p8, p9); });
}

int32_t Talvek_Put_SFIO_and_design_SFs(const SFIO* in) {
    return guardedExport([&] { return putRecordAndDesign(in); });
}

int32_t Talvek_Get_SFIO(SFIO* out) { return guardedExport([&] { return getRecord(out); }); }

int32_t Talvek_Get_SFIO_pointer(SFIO** out) { return guardedExport([&] { return getRecordPointer(out); }); }

int32_t Talvek_Get_Nchannels(int32_t* channelsA, int32_t* channelsB) {
    return guardedExport([&] { return getChannelCounts(channelsA, channelsB); });
}

}  // extern "C"
