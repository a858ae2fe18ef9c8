// The library's own exception types. Every failure travels as a std::exception
// and becomes the host's error text at the export boundary.
#pragma once

#include <exception>
#include <stdexcept>

namespace TalvekLib {

// Any missing, mistyped or malformed part of a model document.
class ParseException : public std::exception {
public:
    const char* what() const noexcept override { return "Error parsing JSON."; }
};

// A venue item's end point lies behind the column's front plane.
class OutOfSight : public std::runtime_error {
public:
    OutOfSight() : std::runtime_error("At least one VI is out of sight.") {}
};

// The integer FIR filter came out with non-integral taps.
class FractionalCoefs : public std::runtime_error {
public:
    FractionalCoefs() : std::runtime_error("Fractional coefficient(s) during filter design") {}
};

}  // namespace TalvekLib
