// Cases.h - the voice x channel-count cases the per-voice tests run over.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "Harness.h"

namespace validation {

struct Case {
    std::string voice;
    std::uint32_t channels = 1;
};

inline std::ostream& operator<<(std::ostream& os, const Case& c) {
    return os << "\"" << c.voice << "\" " << (c.channels == 1 ? "mono" : "stereo");
}

// Every voice, mono and stereo. Empty when the engine cannot be brought up;
// the BringUp test then reports why.
inline std::vector<Case> allCases() {
    std::vector<Case> out;
    try {
        for (const VoiceInfo& v : voices())
            for (std::uint32_t ch : {1u, 2u}) out.push_back(Case{v.name, ch});
    } catch (...) {
    }
    return out;
}

inline std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    return identifier(info.param.voice) + (info.param.channels == 1 ? "_mono" : "_stereo");
}

inline const VoiceInfo& voiceNamed(const std::string& name) {
    for (const VoiceInfo& v : voices())
        if (v.name == name) return v;
    throw std::runtime_error("no voice named " + name);
}

// Blocks per format in the sweep and random-size blocks after it:
// CORVANE_VALIDATION_QUICK=1 (used under sanitizers) shortens both.
bool quick();

}  // namespace validation
