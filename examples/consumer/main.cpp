// Loads the extension, brings it up on the installed voices and runs a node
// over one block. Exits 0 when the block came back processed and finite.
#include <corvane/AudioBuffer.h>
#include <corvane/AudioBus.h>
#include <corvane/AudioBusFormat.h>
#include <corvane/Corvane.h>
#include <corvane/ExtensionManager.h>
#include <corvane/voicemod/VoicemodExtension.h>
#include <corvane/voicemod/VoicemodNode.h>

#include <cmath>
#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    using namespace corvane;
    using namespace corvane::extensions::voicemod;
    const char* voices = argc > 1 ? argv[1] : VOICES_DIR;
    try {
        VoicemodExtension::load();
        if (!ExtensionManager::getInstance().findExtension("Voicemod")) return 1;
        Corvane::initialize();
        VoicemodExtension::initialize("consumer", "example", voices);
        const auto names = VoicemodExtension::listVoices();
        if (names.empty()) {
            std::fprintf(stderr, "no voices in %s\n", voices);
            return 1;
        }
        VoicemodNode node;
        AudioBusFormat in{48000, 1, 128}, out{};
        if (!node.setBusFormat(in, out)) return 1;
        node.loadVoice(names.front());
        AudioBuffer<float> input(1, 128), output(1, 128);
        for (std::uint32_t i = 0; i < 128; ++i) input.getWritePointer(0)[i] = std::sin(0.05f * float(i));
        AudioBus inBus{&input}, outBus{&output};
        if (!node.process(inBus, outBus)) return 1;
        for (std::uint32_t i = 0; i < 128; ++i)
            if (!std::isfinite(output.getReadPointer(0)[i])) return 1;
        std::printf("consumer: %zu voices, processed a block with \"%s\"\n", names.size(),
                    node.getCurrentVoice().c_str());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "consumer: %s\n", error.what());
        return 1;
    }
}
