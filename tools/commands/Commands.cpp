#include "commands/Commands.h"

#include <corvane/Logger.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <system_error>

#include "demo/DemoPage.h"
#include "commands/Live.h"
#include "platform/Locations.h"
#include "platform/Platform.h"
#include "render/Render.h"
#include "demo/Png.h"
#include "soundfile/SoundFile.h"
#include "demo/Sonogram.h"
#include "platform/ToolError.h"

namespace corvane::tool {
namespace fs = std::filesystem;

namespace {

constexpr const char* kProgram = "corvane-voicemod";

void applyVerbosity(Verbosity verbosity) {
    switch (verbosity) {
        case Verbosity::Quiet: Logger::setMinimumLevel(LogLevel::Off); break;
        case Verbosity::Normal: Logger::setMinimumLevel(LogLevel::Error); break;
        case Verbosity::Verbose: Logger::setMinimumLevel(LogLevel::Debug); break;
    }
}

Location chosenContent(const CommonOptions& common) {
    Location content = contentDirectory(common.content);
    Logger::debug("corvane-voicemod: voices from " + content.path.u8string() + " (" + content.origin + ")");
    return content;
}

std::string channelsText(std::uint32_t channels) {
    if (channels == 1) return "mono";
    if (channels == 2) return "stereo";
    return std::to_string(channels) + " channels";
}

std::string fixed(double value, int decimals) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

// The engine writes its float values as doubles (0.3499999940395355); a
// person reads them as the package wrote them (0.35).
void tidyNumbers(nlohmann::json& value) {
    if (value.is_number_float()) {
        char text[32];
        std::snprintf(text, sizeof(text), "%.7g", value.get<double>());
        value = std::stod(text);
    } else if (value.is_structured()) {
        for (auto& item : value) tidyNumbers(item);
    }
}

}  // namespace

namespace {

void checkStop(const Console& console) {
    if (console.stop != nullptr && console.stop->load(std::memory_order_relaxed))
        throw ToolError("interrupted", kExitInterrupted);
}

// Why standard output's text did not all go out: the errno its write left
// (the caller clears errno before writing), or the tool's own words.
std::string outputFailure() {
    const int error = errno;
    return std::string("cannot write standard output: ") + (error != 0 ? std::strerror(error) : "not all of it was taken");
}

// Sends standard output's text on; a signal that cut it short is an
// interruption, a write that failed (a full disk, /dev/full) a failure.
void finishOutput(const Console& console) {
    console.out.flush();
    checkStop(console);
    if (!console.out.good()) throw ToolError(outputFailure());
}

}  // namespace

int runVoices(const Command& command, Console& console) {
    const Location content = chosenContent(command.common);
    VoiceChanger changer(content.path);
    checkStop(console);
    if (changer.voices().empty())
        console.err << kProgram << ": no voices in " << quote(content.path.u8string()) << '\n';
    if (!command.voices.json) {
        errno = 0;
        for (const std::string& name : changer.voices()) console.out << name << '\n';
        finishOutput(console);
        return kExitSuccess;
    }
    nlohmann::json list = nlohmann::json::array();
    for (const std::string& name : changer.voices()) {
        const std::optional<VoiceInfo> info = changer.describe(name);
        if (info) {
            nlohmann::json description = nlohmann::json::parse(info->json);
            tidyNumbers(description);
            list.push_back(std::move(description));
        } else {
            list.push_back(nlohmann::json{{"name", name}});
        }
    }
    errno = 0;
    console.out << list.dump(2) << '\n';
    finishOutput(console);
    return kExitSuccess;
}

int runRender(const Command& command, Console& console) {
    const RenderOptions& options = command.render;
    const Location content = chosenContent(command.common);
    VoiceChanger changer(content.path);

    RenderRequest request;
    // Command-line texts are UTF-8 (Platform.h): converted explicitly.
    request.input = fs::u8path(options.input);
    request.output = fs::u8path(options.output);
    request.voice = options.voice;
    request.parameters = options.parameters;
    request.switches = options.switches;
    request.block = options.block;
    request.container = options.format.empty() ? 0 : containerForName(options.format);

    const bool toStandardOutput = isStandardStream(request.output);
    Progress progress(console.err, console.progressAllowed && command.common.verbosity != Verbosity::Quiet,
                      toStandardOutput ? "standard output" : printable(fs::u8path(options.output).filename().u8string()));
    const RenderReport report = renderFile(changer, request, progress, console.stop);
    if (command.common.verbosity != Verbosity::Quiet) {
        // The audio itself may be on standard output: the report goes beside it.
        std::ostream& to = toStandardOutput ? console.err : console.out;
        to << "wrote " << (toStandardOutput ? std::string("standard output") : printable(options.output)) << ": "
           << fixed(report.duration(), 2) << " s, " << report.sampleRate << " Hz " << channelsText(report.channels)
           << ", " << describeFormat(report.format) << ", voice " << quote(options.voice) << '\n';
    }
    return kExitSuccess;
}

namespace {

void writeBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) throw ToolError("cannot write " + quote(path.u8string()));
}

// Draws `audio`'s spectrogram beside it as <stem>.png and fills in the
// entry's picture and duration.
void drawSpectrogram(const fs::path& audio, const SpectrogramScale& scale, DemoPageEntry& entry) {
    double rate = 0.0;
    const std::vector<float> mono = readMono(audio, rate);
    const IndexedPicture picture = spectrogram(mono, rate, scale);
    const std::vector<std::uint8_t> png = encodePng(picture);
    fs::path file = audio;
    file.replace_extension(".png");
    writeBytes(file, std::string(png.begin(), png.end()));
    entry.picture = file.filename().u8string();
    entry.pictureWidth = picture.width;
    entry.pictureHeight = picture.height;
    entry.duration = rate > 0.0 ? static_cast<double>(mono.size()) / rate : 0.0;
}

std::string parameterLine(const ParameterInfo& p) {
    return p.name + " " + formatNumber(p.defaultValue) + (p.unit.empty() ? "" : " " + p.unit) + " (" +
           formatNumber(p.minimum) + " to " + formatNumber(p.maximum) + ")";
}

}  // namespace

int runDemo(const Command& command, Console& console) {
    const DemoOptions& options = command.demo;
    const Location content = chosenContent(command.common);
    const Location sample = speechSample();
    Logger::debug("corvane-voicemod: speech sample " + sample.path.u8string() + " (" + sample.origin + ")");
    VoiceChanger changer(content.path);
    if (changer.voices().empty()) throw ToolError("no voices in " + quote(content.path.u8string()));

    const fs::path folder = fs::u8path(options.outputDirectory);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw ToolError("cannot make folder " + quote(folder.u8string()) + ": " + ec.message());

    const bool talk = command.common.verbosity != Verbosity::Quiet;
    if (talk)
        console.out << "Rendering " << sample.path.u8string() << " through " << changer.voices().size()
                    << " voices into " << folder.u8string() << "/\n\n";

    // The page: the input and every voice to hear and see (DemoPage.h). The
    // input is copied beside it so the folder stands on its own.
    DemoPageInfo page;
    page.sample = sample.path.u8string();
    page.block = options.block;
    page.offline = options.offline;
    std::vector<DemoPageEntry> entries(1);
    {
        SoundFileReader reader(sample.path);
        page.sampleRate = reader.sampleRate();
        page.channels = reader.channels();
    }
    const fs::path input = folder / "input.wav";
    fs::copy_file(sample.path, input, fs::copy_options::overwrite_existing, ec);
    if (ec) throw ToolError("cannot copy " + quote(sample.path.u8string()) + " to " + quote(input.u8string()) + ": " + ec.message());
    entries[0].title = "Input";
    entries[0].description = "The speech sample as it is.";
    entries[0].audio = input.filename().u8string();
    drawSpectrogram(input, page.scale, entries[0]);

    struct Row {
        std::string voice, file, duration, rtf;
    };
    std::vector<Row> rows;
    // Stems are lower case, so names distinct here stay distinct on a file
    // system that ignores case. "x", "X" and "x 2" become x, x-2 and x-3.
    std::set<std::string> taken{"input"};
    int status = kExitSuccess;
    for (const std::string& voice : changer.voices()) {
        const std::string base = fileStem(voice);
        std::string stem = base;
        for (int n = 2; !taken.insert(stem).second; ++n) stem = base + "-" + std::to_string(n);
        RenderRequest request;
        request.input = sample.path;
        request.output = folder / (stem + ".wav");
        request.voice = voice;
        request.block = options.block;
        request.switches.offline = options.offline;
        DemoPageEntry entry;
        entry.title = voice;
        if (const std::optional<VoiceInfo> info = changer.describe(voice)) {
            entry.description = info->description;
            for (const ParameterInfo& p : info->parameters) entry.parameters.push_back(parameterLine(p));
        }
        Progress progress(console.err, console.progressAllowed && talk, voice);
        try {
            const RenderReport report = renderFile(changer, request, progress, console.stop);
            rows.push_back({voice, request.output.u8string(), fixed(report.duration(), 2) + " s",
                            fixed(report.speed(), 0) + "x"});
            entry.audio = request.output.filename().u8string();
            entry.latencyMs = 1000.0 * report.latency / report.sampleRate;
            entry.speed = report.speed();
            drawSpectrogram(request.output, page.scale, entry);
        } catch (const ToolError& error) {
            if (error.status() == kExitInterrupted) throw;
            console.err << kProgram << ": " << error.what() << '\n';
            if (entry.audio.empty()) rows.push_back({voice, "(failed)", "-", "-"});
            entry.audio.clear();
            entry.failure = error.what();
            status = kExitFailure;
        }
        entries.push_back(std::move(entry));
    }
    checkStop(console);
    const fs::path index = folder / "index.html";
    writeBytes(index, demoPageHtml(page, entries));

    if (talk) {
        std::size_t voiceWidth = 5, fileWidth = 4;
        for (const Row& r : rows) {
            voiceWidth = std::max(voiceWidth, r.voice.size());
            fileWidth = std::max(fileWidth, r.file.size());
        }
        auto line = [&](const std::string& a, const std::string& b, const std::string& c, const std::string& d) {
            console.out << std::left << std::setw(static_cast<int>(voiceWidth)) << a << "  "
                        << std::setw(static_cast<int>(fileWidth)) << b << "  " << std::right << std::setw(9) << c
                        << "  " << std::setw(9) << d << '\n';
        };
        line("Voice", "File", "Duration", "Speed");
        for (const Row& r : rows) line(r.voice, r.file, r.duration, r.rtf);
        console.out << "\nSpeed: seconds of audio rendered per second of wall time (1x is real time).\n";
        fs::path absolute = fs::absolute(index, ec);
        if (ec) absolute = index;
        console.out << "\nTo hear and see every voice, open " << index.u8string() << " in a browser:\n  "
                    << fileUrl(absolute.lexically_normal()) << '\n';
    }
    return status;
}

namespace {

int runCommand(const Command& command, Console& console) {
    try {
        switch (command.kind) {
            case CommandKind::Voices: return runVoices(command, console);
            case CommandKind::Render: return runRender(command, console);
            case CommandKind::Demo: return runDemo(command, console);
            case CommandKind::Live: return runLive(command, console);
            case CommandKind::Devices: return runDevices(command, console);
        }
    } catch (const ToolError& error) {
        console.err << kProgram << ": " << error.what() << '\n';
        return error.status();
    } catch (const std::exception& error) {
        console.err << kProgram << ": " << error.what() << '\n';
        return kExitFailure;
    }
    return kExitFailure;
}

}  // namespace

int toolMain(const std::vector<std::string>& arguments, Console& console) {
    ParseResult parsed = parseCommandLine(arguments, console.out, console.err);
    if (!parsed.run) return parsed.status;
    const Command& command = parsed.command;
    applyVerbosity(command.common.verbosity);
    const int status = runCommand(command, console);
    // What went to standard output (the voice list, the demo's table, the
    // 'wrote ...' line) must have gone out whole too (not to a full disk or
    // /dev/full with status 0).
    if (status != kExitSuccess) return status;
    errno = 0;  // an earlier failure left no reason to show
    console.out.flush();
    if (!console.out.good()) {
        console.err << kProgram << ": " << outputFailure() << '\n';
        return kExitFailure;
    }
    return status;
}

}  // namespace corvane::tool
