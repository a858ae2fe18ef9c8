#include "api/host_record_checks.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "core/lib_settings.h"

namespace TalvekLib {

namespace {

[[noreturn]] void refuse(const char* section, const std::string& why) {
    throw std::runtime_error(std::string("Talvek_Put_SFIO_and_design_SFs: SFIO ") + section + " " + why);
}

void checkStructure(const SFIOChannelSet& set, const char* section) {
    if (set.nFreq < 0 || set.nChan < 0) refuse(section, "has a negative count.");
    if (set.nFreq > 0 && set.freq == nullptr) refuse(section, "has no frequency array.");
    if (set.nChan > 0 && (set.re == nullptr || set.im == nullptr)) refuse(section, "has no channel arrays.");
    if (set.nChan > 0 && set.nFreq > 0) {
        for (int m = 0; m < set.nChan; ++m) {
            if (set.re[m] == nullptr || set.im[m] == nullptr) refuse(section, "has a missing channel array.");
        }
    }
}

void checkFits(const SFIOChannelSet& set, const DriverData& section, const char* name) {
    const int channels = section.driverpos.size();
    if (set.nChan != channels) {
        refuse(name, "has " + std::to_string(set.nChan) + " channels; the model has " + std::to_string(channels) + ".");
    }
    // The responses are mapped onto the design grid, which has 215 frequencies above 0 Hz.
    const int maxFreq = librarySettings().designGridSize - 1;
    if (set.nFreq < 1 || set.nFreq > maxFreq) {
        refuse(name, "needs 1 to " + std::to_string(maxFreq) + " frequencies, not " + std::to_string(set.nFreq) + ".");
    }
    for (int n = 0; n < set.nFreq; ++n) {
        if (!std::isfinite(set.freq[n])) refuse(name, "has a frequency that is not finite.");
    }
    for (int m = 0; m < set.nChan; ++m) {
        for (int n = 0; n < set.nFreq; ++n) {
            if (!std::isfinite(set.re[m][n]) || !std::isfinite(set.im[m][n])) {
                refuse(name, "has a response value that is not finite.");
            }
        }
    }
}

}  // namespace

void checkRecordStructure(const SFIO& record) {
    checkStructure(record.wf, "wf");
    checkStructure(record.tw, "tw");
}

void checkRecordFitsModel(const SFIO& record, const ModelData& model) {
    checkFits(record.wf, *model.wf, "wf");
    if (model.twoway) checkFits(record.tw, *model.tw, "tw");
}

}  // namespace TalvekLib
