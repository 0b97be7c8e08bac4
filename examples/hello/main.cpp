// voicemod-hello: the least an application does with the extension.
//
//   voicemod-hello [CONTENT_DIR]
//
// Registers the extension, sets the host up, brings the voice changer up on
// the content directory (the bundled voices by default), lists the voices,
// and runs one block of a tone through a node with the first voice.
#include <corvane/AudioBuffer.h>
#include <corvane/AudioBus.h>
#include <corvane/AudioBusFormat.h>
#include <corvane/Corvane.h>
#include <corvane/ExtensionManager.h>
#include <corvane/Logger.h>
#include <corvane/voicemod/VoicemodExtension.h>
#include <corvane/voicemod/VoicemodNode.h>

#include <cmath>
#include <cstdio>
#include <exception>

using namespace corvane;
using namespace corvane::extensions::voicemod;

int main(int argc, char** argv) {
    const char* content = argc > 1 ? argv[1] : CORVANE_VOICES_DIR;
    try {
        Logger::setMinimumLevel(LogLevel::Info);
        VoicemodExtension::load();
        Corvane::initialize();
        VoicemodExtension::initialize("voicemod-hello", "example", content);

        const auto voices = VoicemodExtension::listVoices();
        std::printf("%zu voices in %s\n", voices.size(), content);
        for (const auto& voice : voices) std::printf("  %s\n", voice.c_str());

        VoicemodNode node;
        AudioBusFormat in{48000, 2, 256}, out{};
        if (!node.setBusFormat(in, out)) return 1;
        if (!voices.empty()) node.loadVoice(voices.front());

        AudioBuffer<float> input(2, 256), output(2, 256);
        for (std::uint32_t i = 0; i < 256; ++i)
            input.getWritePointer(0)[i] = input.getWritePointer(1)[i] =
                0.5f * std::sin(2.0f * 3.14159265f * 440.0f * float(i) / 48000.0f);
        AudioBus inBus{&input}, outBus{&output};
        if (!node.process(inBus, outBus)) return 1;
        double energy = 0;
        for (std::uint32_t i = 0; i < 256; ++i) energy += double(output.getReadPointer(0)[i]) * output.getReadPointer(0)[i];
        std::printf("processed one 256-frame block with \"%s\" (rms %.4f)\n", node.getCurrentVoice().c_str(),
                    std::sqrt(energy / 256));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "voicemod-hello: %s\n", error.what());
        return 1;
    }
    return 0;
}
