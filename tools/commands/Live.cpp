// The 'live' and 'devices' commands, on PortAudio.
#include "commands/Live.h"

#include <corvane/Logger.h>
#include <corvane/voicemod/VoicemodError.h>
#include <corvane/voicemod/VoicemodNode.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

#include "cleanmic/CleanMic.h"
#include "live/Devices.h"
#include "live/LiveBlock.h"
#include "live/LiveSession.h"
#include "platform/Locations.h"
#include "platform/MemoryLock.h"
#include "platform/Terminal.h"
#include "platform/ToolError.h"
#include "render/VoiceChanger.h"
#if CORVANE_VOICEMOD_HAVE_PIPEWIRE
#include "virtualmic/VirtualMic.h"
#endif

namespace corvane::tool {

namespace {

using Clock = std::chrono::steady_clock;
using extensions::voicemod::VoicemodError;
using extensions::voicemod::VoicemodNode;

// A stream whose callbacks stop for this long has lost its device.
constexpr auto kSilentDevice = std::chrono::seconds(2);

std::string decimals(double value, int places) {
    char text[48];
    std::snprintf(text, sizeof(text), "%.*f", places, value);
    return text;
}

// "-12.3 dB [######    ]": the peak in dB of full scale over 60 dB.
std::string meter(float peak) {
    const double db = peak > 0.0f ? 20.0 * std::log10(peak) : -120.0;
    const int cells = static_cast<int>(std::lround(std::clamp((db + 60.0) / 6.0, 0.0, 10.0)));
    std::string text = db <= -99.95 ? " -inf" : decimals(std::max(db, -99.9), 1);
    while (text.size() < 5) text.insert(text.begin(), ' ');
    return text + " dB [" + std::string(static_cast<std::size_t>(cells), '#') +
           std::string(static_cast<std::size_t>(10 - cells), ' ') + "]";
}

// What the terminal thread controls, always through the node's own
// operations, as an application's user interface would.
class Controls {
public:
    Controls(const VoiceChanger& changer, VoicemodNode& node, std::string voice)
        : changer_(changer), node_(node), voice_(std::move(voice)) {}

    const std::string& voice() const noexcept { return voice_; }
    const std::string& message() const noexcept { return message_; }

    void choose(std::size_t index) {
        if (index >= changer_.voices().size()) return;
        const std::string& name = changer_.voices()[index];
        try {
            node_.loadVoice(name);
            voice_ = node_.getCurrentVoice();
            message_.clear();
        } catch (const VoicemodError& error) {
            message_ = "cannot load voice " + quote(name) + ": " + describeResult(error.code());
        }
    }
    void step(int by) {
        const auto& voices = changer_.voices();
        const auto at = std::find(voices.begin(), voices.end(), voice_);
        const long count = static_cast<long>(voices.size());
        const long index = at == voices.end() ? 0 : (at - voices.begin() + by + count) % count;
        choose(static_cast<std::size_t>(index));
    }
    void toggleBypass() { toggle("bypass", [&] { node_.setBypassEnabled(!node_.getBypassEnabled()); }); }
    void toggleMute() { toggle("mute", [&] { node_.setMuteEnabled(!node_.getMuteEnabled()); }); }

    bool bypassed() { return ask([&] { return node_.getBypassEnabled(); }); }
    bool muted() { return ask([&] { return node_.getMuteEnabled(); }); }

    // The voice's own delay: none while bypassed.
    std::uint32_t voiceLatencyFrames() { return bypassed() ? 0 : changer_.latencyFrames(); }

private:
    template <typename Call>
    void toggle(const char* what, Call call) {
        try {
            call();
            message_.clear();
        } catch (const VoicemodError& error) {
            message_ = std::string("cannot switch ") + what + ": " + describeResult(error.code());
        }
    }
    template <typename Call>
    bool ask(Call call) {
        try {
            return call();
        } catch (const VoicemodError&) {
            return false;
        }
    }

    const VoiceChanger& changer_;
    VoicemodNode& node_;
    std::string voice_;
    std::string message_;
};

std::string statusLine(Controls& controls, const LiveFigures& figures, double deviceLatency, std::uint32_t rate) {
    const double latency = deviceLatency + static_cast<double>(controls.voiceLatencyFrames()) / rate;
    std::string line = controls.voice();
    if (controls.bypassed()) line += " (bypass)";
    if (controls.muted()) line += " (mute)";
    line += "  in " + meter(figures.inputPeak) + "  out " + meter(figures.outputPeak) + "  latency " +
            decimals(latency * 1000.0, 1) + " ms  xruns " + std::to_string(figures.xruns);
    if (figures.late > 0) line += "  late " + std::to_string(figures.late);
    if (!controls.message().empty()) line += "  " + controls.message();
    return line;
}

std::string summaryLine(const LiveFigures& figures, double seconds, std::uint32_t block) {
    // The callbacks' own length (a PipeWire cycle need not be --block long).
    const std::uint64_t frames = figures.callbacks > 0 ? figures.frames / figures.callbacks : block;
    const bool even = figures.callbacks == 0 || frames * figures.callbacks == figures.frames;
    return "live: " + decimals(seconds, 1) + " s, " + std::to_string(figures.callbacks) + " callbacks of " +
           std::to_string(frames) + (even ? " frames, " : " frames on average, ") + std::to_string(figures.xruns) +
           " xruns, " + std::to_string(figures.late) + " late, worst callback " +
           decimals(figures.worstPercent(), 2) + " % of its " + decimals(figures.deadlineSeconds * 1000.0, 2) +
           " ms deadline, " + std::to_string(figures.overTenth) + " over 10 %";
}

// With --cpu-times: what the slowest callback cost its thread.
std::string costsLine(const LiveFigures& figures) {
    const auto us = [](double seconds) { return decimals(seconds * 1e6, 0) + " us"; };
    const auto count = [](std::uint64_t n) { return std::to_string(n); };
    return "live: slowest callback #" + count(figures.worstCallback) + ": " + us(figures.worstSeconds) +
           " wall, " + us(figures.worstCpuSeconds) + " CPU, " + count(figures.worstPageFaults) +
           " page faults (" + count(figures.worstMajorFaults) + " major), " + count(figures.worstPreemptions) +
           " preemptions; most CPU in one callback " + us(figures.mostCpuSeconds) + "; " +
           count(figures.faultedCallbacks) + " callbacks with page faults, " + count(figures.preemptedCallbacks) +
           " preempted; longest wait for a callback " + us(figures.longestGapSeconds) + ", before #" +
           count(figures.longestGapCallback);
}

}  // namespace

int runDevices(const Command& command, Console& console) {
    PortAudioSession audio;
    const std::vector<DeviceInfo> devices = audio.devices();
    console.out << (command.devices.json ? devicesJson(devices) : devicesText(devices));
    return kExitSuccess;
}

namespace {

// What the shared loop needs of either kind of stream.
struct LiveStream {
    std::function<void()> start;
    std::function<bool()> stop;             // false: stuck, the process can only end
    std::function<std::string()> trouble;   // why it cannot go on; "" while it can
    std::function<double()> latency;        // seconds from the microphone to the listener, without the voice
    std::string name;                       // for messages
    // Tells the listeners the tool's own delay in frames (empty: nobody to tell).
    std::function<void(std::uint32_t)> delay;
};

// Runs the stream until --duration, 'q', a signal or trouble; the status
// line meanwhile, the summary after.
int runStream(const Command& command, Console& console, LiveStream& stream, LiveBlock& block, Controls& controls,
              const CleanMic& clean) {
    const LiveOptions& options = command.live;
    const bool quiet = command.common.verbosity == Verbosity::Quiet;
    const bool interactive = standardOutputIsTerminal() && standardInputIsTerminal();
    const std::uint32_t rate = block.sampleRate();
    std::optional<std::string> failure;
    bool stopped = true;
    bool interrupted = false;
    LiveFigures figures;
    const Clock::time_point started = Clock::now();
    {
        TerminalKeys keys(interactive);
        if (keys.enabled() && !quiet)
            console.out << "Keys: 1-9 and 0 or up/down choose the voice, b bypass, m mute, q quit\n";
        const auto statusEvery = keys.enabled() ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
        Clock::time_point lastStatus = started;
        Clock::time_point lastProgress = started;
        std::uint64_t lastCallbacks = 0;

        stream.start();
        bool quit = false;
        std::optional<std::uint32_t> toldDelay;
        while (!quit) {
            if (console.stop != nullptr && console.stop->load()) {
                interrupted = true;
                break;
            }
            const Clock::time_point now = Clock::now();
            if (options.duration > 0.0 && std::chrono::duration<double>(now - started).count() >= options.duration)
                break;

            const Key key = keys.next(50);
            if (key.kind == Key::Up) controls.step(-1);
            if (key.kind == Key::Down) controls.step(1);
            if (key.kind == Key::Digit) controls.choose(key.value == '0' ? 9 : static_cast<std::size_t>(key.value - '1'));
            if (key.kind == Key::Letter) {
                if (key.value == 'b') controls.toggleBypass();
                if (key.value == 'm') controls.toggleMute();
                if (key.value == 'q') quit = true;
            }

            // The voice's delay changes with the voice and with bypass.
            if (stream.delay) {
                const std::uint32_t delay = clean.latencyFrames() + controls.voiceLatencyFrames();
                if (toldDelay != delay) stream.delay(delay);
                toldDelay = delay;
            }

            if (const std::string trouble = stream.trouble(); !trouble.empty()) {
                failure = trouble;
                break;
            }
            if (Clock::now() - lastStatus < statusEvery) continue;
            lastStatus = Clock::now();
            figures = block.takeFigures();
            if (figures.callbacks != lastCallbacks) {
                lastCallbacks = figures.callbacks;
                lastProgress = lastStatus;
            } else if (lastStatus - lastProgress > kSilentDevice) {
                failure = stream.name + ": no audio callback for " +
                          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kSilentDevice).count()) +
                          " s; the device or its audio server went away";
                break;
            }
            if (quiet) continue;
            const double latency = stream.latency() + static_cast<double>(clean.latencyFrames()) / rate;
            const std::string line = statusLine(controls, figures, latency, rate);
            if (keys.enabled())
                console.out << "\r\033[K" << line << std::flush;
            else
                console.out << line << std::endl;
        }
        stopped = stream.stop();
        if (keys.enabled() && !quiet) console.out << "\r\033[K" << std::flush;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    figures = block.takeFigures();
    if (!quiet) console.out << summaryLine(figures, seconds, options.block) << std::endl;
    if (!quiet && figures.threadCosts) console.out << costsLine(figures) << std::endl;
    if (!stopped) {
        // PortAudio is still waiting on the device: tearing the stream, the
        // voice changer or PortAudio down would wait with it, or pull the
        // graph from under a late callback. The terminal is already back.
        console.err << "corvane-voicemod: " << failure.value_or(stream.name + ": the stream did not stop")
                    << std::endl;
        std::_Exit(kExitFailure);
    }
    if (failure) throw ToolError(*failure);
    // Ended by a signal: the summary is out, and the status is 128 + its
    // number (main() makes it so from kExitInterrupted), as the exit-status
    // table says.
    return interrupted ? kExitInterrupted : kExitSuccess;
}

#if CORVANE_VOICEMOD_HAVE_PIPEWIRE
int runVirtualMic(const Command& command, Console& console, VoiceChanger& changer, const std::string& voice) {
    const LiveOptions& options = command.live;
    VirtualMicOptions mic;
    mic.name = options.virtualMicName;
    mic.input = options.input;
    mic.output = options.output;
    mic.monitor = options.monitor;
    mic.rate = options.rate;
    mic.block = options.block;
    mic.stop = console.stop;
    VirtualMic pipewire(mic);
    const std::uint32_t rate = pipewire.sampleRate();

    VoicemodNode node;
    Switches switches = options.switches;
    switches.offline = false;
    changer.prepare(node, voice, options.parameters, switches);
    CleanMic clean(options);
    LiveBlock block(clean.nodes(), node, VirtualMic::inputChannels(), pipewire.outputChannels(), rate,
                    options.block);
    if (options.cpuTimes && !block.measureThreadCosts(true))
        throw ToolError("--cpu-times: this system has no per-thread CPU times");
    // Whatever way this function is left, the streams go before the block
    // their process call runs; streams that will not go leave the process
    // only one way out (as in runStream).
    struct StopFirst {
        VirtualMic& mic;
        ~StopFirst() {
            if (mic.stop()) return;
            std::fputs("corvane-voicemod: the PipeWire streams did not stop\n", stderr);
            std::_Exit(kExitFailure);
        }
    } stopFirst{pipewire};
    // The listeners are told the whole path's latency from the start: the
    // suppressor's delay and the voice's go on top of the microphone's.
    Controls controls(changer, node, voice);
    pipewire.setProcessLatency(clean.latencyFrames() + controls.voiceLatencyFrames());
    pipewire.open(block);
    Logger::debug("corvane-voicemod: live from PipeWire source " + printable(pipewire.inputName()) +
                  " to virtual microphone " + printable(options.virtualMicName) + " at " +
                  std::to_string(rate) + " Hz");
    if (command.common.verbosity != Verbosity::Quiet)
        console.out << "Virtual microphone " << quote(options.virtualMicName) << " from " << quote(pipewire.inputName())
                    << (options.monitor ? ", heard on " + quote(pipewire.outputName()) : std::string()) << std::endl;

    LiveStream stream;
    stream.name = "virtual microphone " + quote(options.virtualMicName) + " from " + quote(pipewire.inputName());
    stream.start = [] {};
    stream.stop = [&] { return pipewire.stop(); };
    stream.trouble = [&] { return pipewire.trouble(); };
    stream.latency = [&] { return pipewire.latency(); };
    stream.delay = [&](std::uint32_t frames) { pipewire.setProcessLatency(frames); };
    return runStream(command, console, stream, block, controls, clean);
}
#endif

}  // namespace

int runLive(const Command& command, Console& console) {
    const LiveOptions& options = command.live;
#if !CORVANE_VOICEMOD_HAVE_PIPEWIRE
    if (options.virtualMic)
        throw ToolError(
            "--virtual-mic needs PipeWire, and this build of corvane-voicemod has none (Linux builds with "
            "libpipewire-0.3 have it); 'live' without it plays the voice on the speakers");
#endif
    // Before anything is loaded: with the pages taken from now on locked,
    // the voice's memory is mapped in here, not at its first callback.
    if (!options.noLockMemory) {
        const std::string note = lockMemory();
        if (!note.empty() && command.common.verbosity != Verbosity::Quiet)
            console.err << "corvane-voicemod: " << note << std::endl;
    }
    const Location content = contentDirectory(command.common.content);
    VoiceChanger changer(content.path);
    if (changer.voices().empty()) throw ToolError("no voices in " + quote(content.path.string()));
    const std::string voice = options.voice.empty() ? changer.voices().front() : options.voice;
#if CORVANE_VOICEMOD_HAVE_PIPEWIRE
    if (options.virtualMic) return runVirtualMic(command, console, changer, voice);
#endif

    PortAudioSession audio;
    const std::vector<DeviceInfo> devices = audio.devices();
    const DeviceInfo input = findDevice(devices, options.input, Direction::Input);
    const DeviceInfo output = findDevice(devices, options.output, Direction::Output);
    const std::uint32_t rate =
        options.rate != 0 ? options.rate : static_cast<std::uint32_t>(std::lround(output.defaultSampleRate));
    if (rate == 0) throw ToolError("output device " + quote(output.name) + " reports no sample rate; give --rate");

    VoicemodNode node;
    Switches switches = options.switches;
    switches.offline = false;
    changer.prepare(node, voice, options.parameters, switches);

    // The formats are agreed (setBusFormat) and every buffer allocated
    // before the device is opened; from then on the callback only processes.
    CleanMic clean(options);
    LiveBlock block(clean.nodes(), node, LiveSession::inputChannelsFor(input), LiveSession::outputChannelsFor(output),
                    rate, options.block);
    if (options.cpuTimes && !block.measureThreadCosts(true))
        throw ToolError("--cpu-times: this system has no per-thread CPU times");
    LiveSession session(input, output, block);
    const double deviceLatency = session.inputLatency() + session.outputLatency();
    Logger::debug("corvane-voicemod: live from " + printable(input.name) + " to " + printable(output.name) +
                  " at " + std::to_string(rate) + " Hz, " + std::to_string(options.block) +
                  " frames per callback");

    Controls controls(changer, node, voice);
    LiveStream stream;
    stream.name = "input " + quote(input.name) + ", output " + quote(output.name);
    stream.start = [&] { session.start(); };
    stream.stop = [&] { return session.stop(); };
    stream.trouble = [&]() -> std::string {
        return session.active() ? "" : stream.name + ": the stream stopped; the device or its audio server went away";
    };
    stream.latency = [&] { return deviceLatency; };
    return runStream(command, console, stream, block, controls, clean);
}

}  // namespace corvane::tool
