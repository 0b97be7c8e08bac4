// CleanMicOptions.h - what 'live --denoise' and '--gate DB' ask of the clean
// mic (CleanMic.h); the live command's options (CommandLine.h) carry them.
#pragma once

namespace corvane::tool {

struct CleanMicOptions {
    bool denoise = false;         // --denoise: noise suppression before the voice
    bool gate = false;            // --gate DB: a noise gate before the voice, opening above DB (dBFS)
    double gateThreshold = -50.0;
};

}  // namespace corvane::tool
