// TrackingSection.h - the quality harness's pitch-tracking section: the
// engine's pitch tracker side by side with Praat on synthetic voices of
// known pitch (SyntheticVoices.h, clean and in pink noise at 20, 10 and
// 0 dB SNR), and against Praat on real speech; its lookahead and its cost.
#pragma once

#include <string>

#include "Report.h"

namespace quality {

// Prints the section's tables and adds its goals to `targets`. `alsaDir`
// holds the alsa-utils recordings, `sample` the project's speech sample.
void pitchTrackingSection(const std::string& alsaDir, const std::string& sample, Targets& targets);

}  // namespace quality
