#include "render/Render.h"

#include <corvane/AudioGraph.h>
#include <corvane/Logger.h>
#include <corvane/voicemod/VoicemodNode.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <chrono>
#include <cstdio>

#include "render/ChannelDelayNode.h"
#include "soundfile/SoundFile.h"
#include "platform/ToolError.h"

namespace corvane::tool {

namespace {

// The voice changer ramps every switch and the change to a new voice over a
// few milliseconds and glides a parameter to a new value (5 ms and 20 ms in
// the bundled engine, see docs/ENGINE.md). A render starts with this much
// silence, cut from the output again, so a file rendered bypassed, muted or
// with a voice and its parameters is that from its first sample.
constexpr double kSettleSeconds = 0.05;

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f s", value);
    return text;
}

}  // namespace

std::string fileStem(const std::string& voiceName) {
    std::string stem;
    for (unsigned char c : voiceName) {
        if (std::isalnum(c)) {
            stem += static_cast<char>(std::tolower(c));
        } else if (!stem.empty() && stem.back() != '-') {
            stem += '-';
        }
    }
    while (!stem.empty() && stem.back() == '-') stem.pop_back();
    return stem.empty() ? "voice" : stem;
}

RenderReport renderFile(const VoiceChanger& changer, const RenderRequest& request, Progress& progress,
                        const std::atomic<bool>* stop) {
    const std::string inputName = quote(request.input.u8string());
    const auto stopped = [stop] { return stop != nullptr && stop->load(std::memory_order_relaxed); };
    const auto interrupted = [&] {
        return ToolError("interrupted; " + quote(request.output.u8string()) + " was not written", kExitInterrupted);
    };
    if (stopped()) throw interrupted();
    SoundFileReader reader(request.input, stop);

    extensions::voicemod::VoicemodNode node;
    changer.prepare(node, request.voice, request.parameters, request.switches);

    const int container = request.container != 0 ? request.container : containerForPath(request.output);
    SoundFileWriter writer(request.output, chooseOutputFormat(reader.format(), container), stop);
    // Samples a float cannot carry go beside the graph, so that those it
    // passes on unchanged are written exactly as read.
    ExactSamples exact(reader.channels());
    if (keepsExactSamples(reader.format(), writer.format())) {
        reader.keepExactSamples(&exact);
        writer.useExactSamples(&exact);
    }

    ChannelDelayNode align;
    AudioGraph graph(reader, writer);
    graph.addNode(&node);  // node 0
    graph.addNode(&align);
    const auto configure = [&] {
        const Result<void> configured = graph.configure(request.block);
        if (configured.isSuccess()) return;
        if (stopped()) throw interrupted();  // while waiting for a FIFO's reader
        const std::string message = configured.error().getMessage();
        // The voice changer takes only the rates it supports.
        if (configured.error().getCode() == 0)
            throw ToolError("cannot render " + inputName + ": the voice changer does not take its format (" +
                            std::to_string(reader.sampleRate()) + " Hz, " + std::to_string(reader.channels()) +
                            " channel(s))");
        const std::string prefix = "AudioGraph: ";
        if (message.compare(0, prefix.size(), prefix) == 0)
            throw ToolError("cannot render " + inputName + ": " + message.substr(prefix.size()));
        throw ToolError(message);
    };
    configure();

    // Known only now: the delay depends on the rate and mode just set. The
    // channels the voice changer passes through are delayed to match.
    RenderReport report;
    if (request.compensateLatency && !request.switches.bypass) report.latency = changer.latencyFrames();
    if (report.latency > 0 && reader.channels() > 2) {
        align.setDelay(report.latency);
        configure();
    }
    const auto settle = static_cast<std::uint64_t>(std::ceil(kSettleSeconds * reader.sampleRate()));
    reader.setLeadingSilence(settle);
    reader.setTrailingSilence(report.latency);
    writer.setLeadingSkip(settle + report.latency);
    Logger::debug("corvane-voicemod: " + request.input.u8string() + " -> " + request.output.u8string() + ", voice " +
                  request.voice + ", " + std::to_string(request.block) + " frames per block, " +
                  std::to_string(report.latency) + " frames of voice delay compensated");

    // A pipe's length is not known (libsndfile says SF_COUNT_MAX): no percentage then.
    const bool knownLength = reader.frames() < (std::uint64_t{1} << 62);
    const std::uint64_t total = knownLength ? settle + reader.frames() + report.latency : 0;
    const auto started = std::chrono::steady_clock::now();
    AudioGraph::BlockStatus status;
    while ((status = graph.processBlock()) == AudioGraph::BlockStatus::Processed) {
        progress.update(graph.getFramesProcessed(), total);
        if (stopped()) break;
    }
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    progress.finish();
    // Whatever the last block did, a signal means the file is not kept.
    if (stopped()) throw interrupted();

    switch (status) {
        case AudioGraph::BlockStatus::EndOfStream: break;
        case AudioGraph::BlockStatus::NodeFailed:
            throw ToolError("cannot render " + inputName + " with voice " + quote(request.voice) +
                            ": the voice changer failed at " +
                            seconds(std::max(0.0, static_cast<double>(graph.getFramesProcessed()) /
                                                              reader.sampleRate() -
                                                          kSettleSeconds)));
        case AudioGraph::BlockStatus::SinkFailed: throw ToolError(writer.failure());
        default: throw ToolError("cannot render " + inputName + ": " + toString(status));
    }
    if (reader.failed()) throw ToolError(reader.failure());

    reader.close();
    writer.commit();
    report.frames = writer.framesWritten();
    report.sampleRate = reader.sampleRate();
    report.channels = reader.channels();
    report.format = writer.format();
    return report;
}

}  // namespace corvane::tool
