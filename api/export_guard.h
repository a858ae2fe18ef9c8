// The one frame every export runs its body in: exceptions become the error text
// and a status code, so nothing ever crosses the C boundary.
#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

#include "api/library_state.h"

namespace TalvekLib {

// Thrown by the precondition checks below; carries a message of our own.
class CallOrderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

template <typename Body>
int32_t guardedExport(Body&& body, int32_t failure = -1) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        try {
            libraryState().errorText = e.what();
        } catch (...) {
        }
        return failure;
    } catch (...) {
        try {
            libraryState().errorText = "Unknown exception.";
        } catch (...) {
        }
        return -1;
    }
}

// Preconditions shared by the exports; each throws CallOrderError with a
// message that names the call the host has to make first.
void requireSettings(const char* exportName);
void requireModelName(const char* exportName);
const SpeakerDesign& requireDesign(const char* exportName);
void requirePointer(const void* p, const char* exportName, const char* argument);

}  // namespace TalvekLib
