// The route from venue (or stored responses) to a complete steering design.
#pragma once

#include <vector>

#include "filters/channel_filter_design.h"
#include "filters/speaker_design.h"
#include "include/talvek.h"
#include "model/model_data.h"
#include "optimiser/fit_cache.h"
#include "optimiser/section_response.h"
#include "optimiser/venue_items.h"

namespace TalvekLib {

struct PipelineOptions {
    double p1 = 0.0;              // column reference height, m
    double p2 = 0.0;              // tilt, degrees
    bool inactiveAsZero = false;
    double p9 = 1.0;              // woofer iterations = ceil(10 p9) when positive
    bool optimise = true;         // false: design from the responses already in the SFIO record
    FitCache* fitCache = nullptr; // decompositions kept between designs, if any
};

// Optimises (when asked) every section, refills `sfio` only after all of them
// succeeded, then designs the crossovers and FIR filters from the record.
SpeakerDesign runDesignPipeline(const ModelData& model, const std::vector<VenueItem>& items,
                                const PipelineOptions& options, SFIO& sfio);

// Above fFlatten no element's magnitude exceeds the largest at or below it.
void flattenAbove(SectionResponse& response, double fFlatten);

NormalisedResponse normaliseSection(const SectionResponse& response);

// Assigns a design result to the library's design, field by field.
void storeDesign(const SpeakerDesign& result, SpeakerDesign& target);

}  // namespace TalvekLib
