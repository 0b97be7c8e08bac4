// The README's application, whole: bring the voice changer up on a folder of
// voices, list them, and run a tone through "Chipmunk" an octave up.
//   ./app /usr/share/corvane-voicemod/voices
#include <corvane/AudioBuffer.h>
#include <corvane/AudioBus.h>
#include <corvane/AudioBusFormat.h>
#include <corvane/Corvane.h>
#include <corvane/Logger.h>
#include <corvane/voicemod/VoicemodExtension.h>
#include <corvane/voicemod/VoicemodNode.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>

using namespace corvane;
using namespace corvane::extensions::voicemod;

int main(int argc, char** argv) {
    const char* voices = argc > 1 ? argv[1] : "/usr/share/corvane-voicemod/voices";
    constexpr std::uint32_t kRate = 48000, kFrames = 256;
    try {
        Logger::setMinimumLevel(LogLevel::Error);  // the host logs failures to stderr
        VoicemodExtension::load();                 // the host now knows "Voicemod"
        Corvane::initialize();                     // host set-up: gives "tempDirPath"
        VoicemodExtension::initialize("my-app", "my-key", voices);
        for (const std::string& name : VoicemodExtension::listVoices()) std::printf("voice: %s\n", name.c_str());

        VoicemodNode node;                                      // owned by the application
        AudioBusFormat inputFormat{kRate, 1, kFrames}, outputFormat{};  // mono, 256-frame blocks
        if (!node.setBusFormat(inputFormat, outputFormat)) return 1;    // sets the rate: before process()
        node.loadVoice("Chipmunk");
        node.setParameter("Pitch", 12.0f);  // parameter names are case-sensitive
        if (auto parameters = node.getParameterInfo("Chipmunk"))  // std::nullopt: this SDK cannot tell
            for (const VoicemodParameterInfo& p : *parameters)
                std::printf("%s: %g to %g %s\n", p.name.c_str(), p.minimum, p.maximum, p.unit.c_str());
        if (auto delay = node.getLatencyFrames()) std::printf("delay: %u frames\n", unsigned(*delay));

        AudioBuffer<float> input(1, kFrames), output(1, kFrames);
        AudioBus inputBus{&input}, outputBus{&output};
        for (std::uint32_t block = 0; block < 100; ++block) {  // the host's audio thread, in a real application
            for (std::uint32_t i = 0; i < kFrames; ++i)
                input.getWritePointer(0)[i] = 0.3f * std::sin(6.2831853f * 220.0f * float(block * kFrames + i) / kRate);
            if (!node.process(inputBus, outputBus)) return 1;  // no lock, no allocation; never throws
        }
        std::printf("100 blocks through %s\n", node.getCurrentVoice().c_str());
    } catch (const VoicemodError& error) {  // a voice-changer call failed: what() says why
        std::fprintf(stderr, "%s (code %d)\n", error.what(), int(error.code()));
        return 1;
    } catch (const std::exception& error) {  // e.g. the folder cannot be read
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
