// heap_check.cpp - VoicemodNode::process takes no heap block: for the dry
// path at several block sizes, for every bundled voice with and without
// background sounds in mono and stereo (after warm-up), and right after a
// switch, a parameter or the voice changes (the ramps, the parameter update,
// the hand-over and the crossfade run inside the counted blocks). First it
// checks that the counter does see blocks taken inside the shared
// libraries. Prints one line per case and "N passed, M failed"; exits 1 on
// any failure.
#include <corvane/voicemod/VoicemodExtension.h>

#include <VoicemodUSDKExtras.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "GlueRig.h"
#include "HeapCounter.h"

namespace {

using corvane::extensions::voicemod::VoicemodExtension;

int passed = 0;
int failed = 0;

void check(bool ok, const std::string& what, const std::string& detail) {
    std::printf("%s: %s%s%s\n", ok ? "ok" : "FAIL", what.c_str(), detail.empty() ? "" : " - ", detail.c_str());
    (ok ? passed : failed) += 1;
}

// Runs `blocks` blocks, counting the heap blocks taken; -1 when the voice
// changer refused a block.
long countedBlocks(benchsupport::GlueRig& rig, int blocks) {
    bool ok = true;
    heapCounterStart();
    for (int i = 0; i < blocks; ++i) ok &= rig.node();
    const long taken = heapCounterStop();
    return ok ? taken : -1;
}

void expectNone(benchsupport::GlueRig& rig, int blocks, const std::string& what) {
    const long taken = countedBlocks(rig, blocks);
    if (taken < 0)
        check(false, what, "the voice changer refused a block");
    else
        check(taken == 0, what, std::to_string(taken) + " heap blocks in " + std::to_string(blocks) + " blocks");
}

// The first parameter of `voice` with its range, from the engine's voice
// description; false when the voice has none.
bool firstParameter(const std::string& voice, std::string& name, float& minimum, float& maximum) {
    char text[16384];
    std::uint32_t length = sizeof text;
    if (vcmdGetVoiceInfoJson(voice.c_str(), text, &length) != 0) return false;
    const std::string all(text, length);
    const std::size_t list = all.find("\"parameters\"");
    if (list == std::string::npos) return false;
    const std::size_t begin = all.find('{', list);
    const std::size_t end = all.find('}', begin);
    if (begin == std::string::npos || end == std::string::npos) return false;
    const std::string object = all.substr(begin, end - begin + 1);  // the first parameter's object
    const std::size_t key = object.find("\"name\"");
    if (key == std::string::npos) return false;
    const std::size_t open = object.find('"', object.find(':', key) + 1);
    const std::size_t close = object.find('"', open + 1);
    if (open == std::string::npos || close == std::string::npos) return false;
    name = object.substr(open + 1, close - open - 1);
    auto number = [&](const char* field, float& out) {
        const std::size_t k = object.find(std::string("\"") + field + "\"");
        if (k == std::string::npos) return false;
        out = std::strtof(object.c_str() + object.find(':', k) + 1, nullptr);
        return true;
    };
    return number("minimum", minimum) && number("maximum", maximum);
}

void warm(benchsupport::GlueRig& rig, int blocks) {
    for (int i = 0; i < blocks; ++i) rig.node();
}

}  // namespace

int main() {
    try {
        benchsupport::bringUp(benchsupport::voicesDir());

        heapCounterStart();
        const std::vector<std::string> voices = VoicemodExtension::listVoices();
        const long listing = heapCounterStop();
        check(listing >= static_cast<long>(voices.size()) + 1, "the counter sees the libraries' heap blocks",
              "listVoices took " + std::to_string(listing) + " for " + std::to_string(voices.size()) + " voices");
        check(!voices.empty(), "voices are bundled", std::to_string(voices.size()) + " in " + benchsupport::voicesDir());

        for (std::uint32_t channels : {1u, 2u}) {
            for (std::uint32_t frames : {32u, 256u, 1000u, 4096u}) {
                benchsupport::GlueRig rig(channels, frames);
                warm(rig, 20);
                expectNone(rig, 100, "no voice, " + std::to_string(channels) + " ch, " + std::to_string(frames) +
                                         " frames");
            }
        }

        for (const std::string& voice : voices) {
            for (std::uint32_t channels : {1u, 2u}) {
                for (bool background : {false, true}) {
                    benchsupport::GlueRig rig(channels, benchsupport::kBlockFrames);
                    auto& node = rig.voicemodNode();
                    node.setBackgroundSoundsEnabled(background);
                    node.loadVoice(voice);
                    warm(rig, 200);
                    expectNone(rig, 200, voice + ", " + std::to_string(channels) + " ch, background " +
                                             (background ? "on" : "off"));
                }
            }
        }

        // Changes made from the control side while audio runs.
        if (!voices.empty()) {
            benchsupport::GlueRig rig(2, benchsupport::kBlockFrames);
            auto& node = rig.voicemodNode();
            node.setBackgroundSoundsEnabled(true);
            node.loadVoice(voices.front());
            warm(rig, 200);
            node.setBypassEnabled(true);
            expectNone(rig, 50, "bypass ramping on");
            node.setBypassEnabled(false);
            node.setMuteEnabled(true);
            expectNone(rig, 50, "bypass off, mute ramping on");
            node.setMuteEnabled(false);
            node.setBackgroundSoundsEnabled(false);
            expectNone(rig, 50, "mute off, background sounds off");
            std::size_t withParameters = 0;
            for (const std::string& voice : voices) {
                std::string parameter;
                float minimum = 0.0f, maximum = 0.0f;
                if (!firstParameter(voice, parameter, minimum, maximum)) continue;
                ++withParameters;
                node.loadVoice(voice);
                warm(rig, 50);
                node.setParameter(parameter.c_str(), maximum);
                expectNone(rig, 20, voice + ": parameter " + parameter + " to its maximum");
                node.setParameter(parameter.c_str(), minimum);
                expectNone(rig, 20, voice + ": parameter " + parameter + " to its minimum");
            }
            check(withParameters > 0, "some voice has a parameter to move", std::to_string(withParameters) + " voices");
            for (std::size_t i = 1; i < voices.size() + 1; ++i) {
                const std::string& next = voices[i % voices.size()];
                node.loadVoice(next);
                expectNone(rig, 50, "hand-over and crossfade to " + next);
            }
        }
    } catch (const std::exception& e) {
        check(false, "set-up", e.what());
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
