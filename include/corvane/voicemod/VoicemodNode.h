// VoicemodNode.h - the graph node that runs audio through the voice changer.
#pragma once

#include <string>

#include <corvane/AudioBus.h>
#include <corvane/AudioBusFormat.h>
#include <corvane/SingleBusAudioProcessorNode.h>

#include "corvane/voicemod/Export.h"
#include "corvane/voicemod/VoicemodError.h"

namespace corvane::extensions::voicemod {

// Holds no state of its own: the voice, the sample rate and the switches live
// in the voice changer's process-wide state, so every node in a process sees
// the same values. Construct it directly; the factory makes none.
//
// Threads: setBusFormat() on the thread the host negotiates formats on,
// process() on the host's audio thread, the controls on application threads,
// possibly while process() runs. The node takes no lock.
//
// One audio thread at a time: since every node drives the same voice
// changer, two nodes processed at the same moment on two audio threads (two
// host graphs) cannot both run it. The voice changer turns the later call
// away without waiting; that node's process() then logs and returns false
// with its output a copy of its input, as for any failed call.
class CORVANE_VOICEMOD_API VoicemodNode : public SingleBusAudioProcessorNode {
public:
    // [main-thread]; no allocation beyond the object.
    VoicemodNode();
    ~VoicemodNode() override;

    using SingleBusAudioProcessorNode::process;

    // [any-thread, not concurrently with process()] Matches the two formats
    // and sets the voice changer's sample rate to the input's (after
    // matching). False, with nothing touched or logged, when they do not
    // match; false after logging "Could not set sample rate." when the voice
    // changer refuses the rate. Never throws. The node itself allocates only
    // to log a failure; the voice changer may rebuild the current voice for
    // the new rate on this thread (the bundled engine does).
    bool setBusFormat(AudioBusFormat& inputBusFormat, AudioBusFormat& outputBusFormat) override;

    // [audio-thread] Copies the input bus to the output bus and has the voice
    // changer rewrite the output in place: one channel through
    // vcmdProcessBuffer, two or more through vcmdProcessStereoBuffer on
    // channels 0 and 1 (further channels keep the input). A bus with no
    // channels or a block of no frames is left alone and counts as processed
    // (the voice changer is not called); a bus without a buffer returns
    // false. Logs "Voicemod could not process buffer." and returns false when
    // the voice changer fails, also when another thread is processing in it
    // at that moment (the output then keeps the input). Never throws, never
    // waits; on success takes no lock, allocates nothing and builds no string.
    bool process(AudioBus& inputBus, AudioBus& outputBus) override;

    // The controls. Each is [any-thread], makes exactly one voice-changer
    // call, and on failure logs its message and throws VoicemodError with the
    // result code. None allocates on success except getCurrentVoice(), whose
    // result string may need one block. loadVoice() and
    // setOfflineModeEnabled() let the voice changer build the voice on the
    // calling thread (which may allocate and take the engine's control lock;
    // the audio thread never waits for it).

    // True once `voiceName` is the current voice.
    bool loadVoice(const std::string& voiceName);
    // The current voice's name (empty when none is loaded).
    std::string getCurrentVoice() const;

    bool getBypassEnabled();
    void setBypassEnabled(bool enabled);
    bool getMuteEnabled();
    void setMuteEnabled(bool enabled);
    bool getOfflineModeEnabled();
    void setOfflineModeEnabled(bool enabled);
    bool getBackgroundSoundsEnabled();
    void setBackgroundSoundsEnabled(bool enabled);

    // Parameter names go to the voice changer unchanged.
    float getParameter(const char* parameterName);
    void setParameter(const char* parameterName, float value);
};

}  // namespace corvane::extensions::voicemod
