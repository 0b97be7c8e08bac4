// FormantVoices.h - the voices whose formants a parameter sets apart from
// their pitch, as their packages define them: what their pitch effect
// does once loaded, and which parameter values move it.
#pragma once

#include <string>
#include <vector>

namespace quality {

// How a parameter's range maps onto the setting it drives (linearly,
// minimum to `from`, maximum to `to`).
struct ParameterMap {
    std::string parameter;  // empty: no parameter drives the setting
    double minimum = 0.0, maximum = 0.0, from = 0.0, to = 0.0;
    // The parameter value that gives the setting `value` (not clamped).
    float valueFor(double value) const;
    // Whether a value within the parameter's range gives `value`.
    bool reaches(double value) const;
};

struct FormantVoice {
    std::string name;
    double pitch = 0.0;    // the pitch effect's semitones once the voice is loaded
    double formant = 0.0;  // its formant setting then (semitones from the input's)
    ParameterMap pitchParameter, formantParameter;
    std::vector<std::string> otherEffects;  // the types of the chain's other effects, in order
    // Whether a formant stage runs at the defaults (the formants do not simply follow the pitch).
    bool formantsApart() const { return formant != pitch; }
};

// Every voice of the packages (.zvmd) in `voicesDir` with a pitch effect
// whose formant setting a parameter drives, sorted by name. Throws
// std::runtime_error when a package cannot be read.
std::vector<FormantVoice> formantVoices(const std::string& voicesDir);

}  // namespace quality
