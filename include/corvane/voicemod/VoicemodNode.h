// VoicemodNode.h - the graph node that runs audio through the voice changer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <corvane/AudioBus.h>
#include <corvane/AudioBusFormat.h>
#include <corvane/SingleBusAudioProcessorNode.h>

#include "corvane/voicemod/Export.h"
#include "corvane/voicemod/VoicemodError.h"

namespace corvane::extensions::voicemod {

// One parameter of a voice as the voice changer describes it: a value for
// setParameter() must lie in [minimum, maximum]; a voice starts at
// defaultValue whenever it is loaded.
struct VoicemodParameterInfo {
    std::string name;  // as setParameter() takes it (names are case-sensitive)
    float minimum = 0.0f;
    float maximum = 0.0f;
    float defaultValue = 0.0f;
    std::string unit;  // "semitones", "Hz", "dB", ...; empty when it has none
};

// Holds no state of its own: the voice, the sample rate and the switches live
// in the voice changer's process-wide state, so every node in a process sees
// the same values. Construct it directly; the factory makes none.
//
// Threads: setBusFormat() on the thread the host negotiates formats on,
// process() on the host's audio thread, the controls on application threads,
// possibly while process() runs. The node takes no lock.
//
// Cases that pass without a word (nothing is logged or thrown for them):
//  - process() before any setBusFormat() runs at the voice changer's default
//    sample rate (48000 Hz in the bundled engine), whatever the buses carry:
//    an application at 44100 Hz that forgets setBusFormat() hears every
//    pitch and delay off by that ratio. Negotiate the format first.
//  - The sample rate in force is the one of the latest successful
//    setBusFormat() of any node in the process.
//  - After loadVoice() the output keeps the previous sound (the dry input when
//    no voice was loaded) for the new voice's delay (getLatencyFrames()),
//    then crosses over to the new voice within 5 ms: the voice fades in
//    rather than starting on an empty delay line. setBusFormat() with a new
//    rate and setOfflineModeEnabled() hand over the same way.
//  - Two nodes share the one voice changer, with its memory: a reverb's
//    tail, a pitch shifter's buffer or a limiter's gain carries from one
//    node's blocks into the next block of the other, even on one thread.
//    Fed noise in one node and silence in the other through "Deep Voice",
//    the silent node's output peaks at 0.66 to 0.88, depending on the noise. One node per process is the
//    intended use; several nodes see one voice, one rate, one set of
//    switches and one stream of audio.
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

    // Parameter names go to the voice changer unchanged (they are
    // case-sensitive; getParameterInfo() lists them). A refused call logs
    // "Could not set voicemod parameter." (or a get's message) and throws
    // VoicemodError, which allocates: from an audio thread use
    // trySetParameter() below. With the bundled engine both take no lock,
    // make no system call and allocate nothing on success, and never wait
    // for a voice being loaded. Against another voice changer, its own
    // thread rules hold.
    //
    // A value set while a voice loads (the bundled engine's rule):
    //  - a set that returned (or trySetParameter() that answered 0) has been
    //    applied to the voice that was current when it returned: the old
    //    voice if it returned before loadVoice() switched voices, the new
    //    one otherwise. A new voice starts at its defaults, so a value set
    //    on the old voice is not carried over; one set on the new voice is
    //    kept, and nothing the engine does for the load (nor its undoing
    //    when the new voice cannot be built) writes over it.
    //  - the voice these calls reach is the one being heard: the switch is
    //    made before the new voice sounds, never after.
    //  - a parameter the current voice lacks is refused, also while the
    //    previous voice, which had it, is still fading out.
    float getParameter(const char* parameterName);
    void setParameter(const char* parameterName, float value);

    // [audio-thread, any-thread] setParameter() for a host that automates
    // from its audio thread: the same single voice-changer call, whose
    // result code it returns (0: set; otherwise the code a VoicemodError
    // would carry, e.g. the current voice lacks the parameter or the value
    // is out of its range). Never logs, allocates, locks or throws in the
    // library; with the bundled engine the call is lock-free and allocates
    // nothing either way, so a host may call it every block even when it
    // is refused every block. Against another voice changer, that voice
    // changer's own thread rules hold for the call it makes.
    std::int32_t trySetParameter(const char* parameterName, float value) noexcept;

    // What a graph or a user interface needs to place a voice. Both are
    // answered by functions only the bundled engine has. The library does
    // not link them: VoicemodExtension::load() looks them up in the voice
    // changer the process runs with, so one build works with either voice
    // changer. Against one without them (the vendor SDK), and before load()
    // has run, both return std::nullopt, "not known", rather than a guess,
    // and make no call at all.

    // [any-thread] The delay the current voice adds, in frames at the current
    // sample rate: how far its output lags its input (0 without a voice), for
    // latency compensation and A/V sync. It follows the most recent
    // loadVoice(), setBusFormat() and setOfflineModeEnabled(). On success it
    // takes no lock and allocates nothing, so the audio thread may ask it.
    // A failure (the voice changer not started) logs "Could not get voicemod
    // latency." and throws VoicemodError, which allocates.
    std::optional<std::uint32_t> getLatencyFrames();

    // [any-thread] The parameters of the mounted voice `voiceName` (loaded or
    // not), in the voice's order. May wait briefly for the voice changer's
    // control lock and allocates the list. An unknown voice logs "Could not
    // get voicemod parameter list." and throws VoicemodError naming it.
    std::optional<std::vector<VoicemodParameterInfo>> getParameterInfo(const std::string& voiceName);
};

}  // namespace corvane::extensions::voicemod
