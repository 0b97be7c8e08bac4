// The tool's pieces in-process: command line, locations, formats, audio
// files, progress bar.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <corvane/AudioGraph.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "commands/CommandLine.h"
#include "platform/Locations.h"
#include "platform/Platform.h"
#include "render/Progress.h"
#include "render/Render.h"
#include "soundfile/SoundFile.h"
#include "demo/Sonogram.h"
#include "platform/ToolError.h"

using namespace corvane;
using namespace corvane::tool;
namespace fs = std::filesystem;

namespace {

// A fresh folder per test, removed afterwards.
class TempFolder {
public:
    TempFolder() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = fs::temp_directory_path() /
                ("corvane-tool-pieces-" + std::string(info->name()) + "-" + std::to_string(testsupport::processId()));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempFolder() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

ParseResult parse(const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr) {
    std::ostringstream o, e;
    ParseResult result = parseCommandLine(args, o, e);
    if (out) *out = o.str();
    if (err) *err = e.str();
    return result;
}

// Writes interleaved integer samples with libsndfile's integer interface,
// which stores them exactly.
void writeInts(const fs::path& path, int format, int rate, int channels, const std::vector<int>& samples) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = openSoundFile(path, SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    ASSERT_EQ(sf_write_int(f, samples.data(), static_cast<sf_count_t>(samples.size())),
              static_cast<sf_count_t>(samples.size()));
    sf_close(f);
}

std::vector<int> readInts(const fs::path& path, SF_INFO& info) {
    info = SF_INFO{};
    SNDFILE* f = openSoundFile(path, SFM_READ, &info);
    EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
    if (f == nullptr) return {};
    std::vector<int> samples(static_cast<std::size_t>(info.frames * info.channels));
    sf_read_int(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
    return samples;
}

// Integer codes of `bits`-bit audio as sf_*_int sees them (left-aligned in
// 32 bits), including both extremes.
std::vector<int> codesFor(int bits, std::size_t count) {
    const int shift = 32 - bits;
    const long long most = (1LL << (bits - 1)) - 1;
    std::mt19937 random(7);
    std::uniform_int_distribution<long long> any(-most - 1, most);
    const long long step = 1LL << shift;
    std::vector<int> codes{static_cast<int>((-most - 1) * step), static_cast<int>(most * step), 0,
                           static_cast<int>(1LL << shift), static_cast<int>(-(1LL << shift))};
    while (codes.size() < count) codes.push_back(static_cast<int>(any(random) * (1LL << shift)));
    return codes;
}

// Reader -> (no node) -> writer through the host graph, as the tool does.
void copyThroughGraph(const fs::path& in, const fs::path& out, int format, std::uint32_t block) {
    SoundFileReader reader(in);
    SoundFileWriter writer(out, format);
    AudioGraph graph(reader, writer);
    const Result<void> configured = graph.configure(block);
    ASSERT_TRUE(configured.isSuccess()) << configured.error().getMessage();
    ASSERT_EQ(graph.run(), AudioGraph::BlockStatus::EndOfStream);
    ASSERT_FALSE(reader.failed());
    writer.commit();
}

}  // namespace

// --- command line --------------------------------------------------------------

TEST(CommandLine, ParameterSettingsAreNameEqualsNumber) {
    const ParameterSetting plain = parseParameterSetting("Pitch=12");
    EXPECT_EQ(plain.name, "Pitch");
    EXPECT_FLOAT_EQ(plain.value, 12.0f);
    EXPECT_EQ(plain.text, "12");
    const ParameterSetting spaced = parseParameterSetting(" Line Drive = -3.5 ");
    EXPECT_EQ(spaced.name, "Line Drive");
    EXPECT_FLOAT_EQ(spaced.value, -3.5f);
    EXPECT_FLOAT_EQ(parseParameterSetting("Mix=1e-1").value, 0.1f);
    // Beyond a float's range is still a number, for the voice's range to refuse.
    EXPECT_EQ(parseParameterSetting("Pitch=1e39").value, std::numeric_limits<float>::infinity());
    EXPECT_EQ(parseParameterSetting("Pitch=-1e999").value, -std::numeric_limits<float>::infinity());
    EXPECT_EQ(parseParameterSetting("Pitch=1e-40").value, static_cast<float>(1e-40));
    EXPECT_GT(parseParameterSetting("Pitch=1e-40").value, 0.0f);

    const std::vector<std::pair<std::string, std::string>> bad = {
        {"Pitch", "expected NAME=VALUE"},          {"=3", "the parameter name is empty"},
        {"Pitch=", "the value is empty"},          {"Pitch=abc", "\"abc\" is not a number"},
        {"Pitch=12abc", "\"12abc\" is not a number"}, {"Pitch=-inf", "\"-inf\" is not a number"},
        {"Pitch=nan", "\"nan\" is not a number"},  {"Pitch=inf", "\"inf\" is not a number"}};
    for (const auto& [text, reason] : bad) {
        SCOPED_TRACE(text);
        try {
            parseParameterSetting(text);
            ADD_FAILURE() << "accepted";
        } catch (const ToolError& e) {
            EXPECT_EQ(e.status(), kExitUsage);
            EXPECT_EQ(std::string(e.what()), "malformed --param \"" + text + "\": " + reason);
        }
    }
}

TEST(CommandLine, RenderTakesItsOptionsAndDefaults) {
    ParseResult r = parse({"render", "in.wav", "out.flac", "--voice", "Deep Voice", "--param", "Pitch=-12",
                           "--param", "Mix=0.5", "--bypass", "--offline", "--block", "1", "--format", "FLAC",
                           "--content", "/v", "--verbose"});
    ASSERT_TRUE(r.run);
    const Command& c = r.command;
    EXPECT_EQ(c.kind, CommandKind::Render);
    EXPECT_EQ(c.render.input, "in.wav");
    EXPECT_EQ(c.render.output, "out.flac");
    EXPECT_EQ(c.render.voice, "Deep Voice");
    ASSERT_EQ(c.render.parameters.size(), 2u);
    EXPECT_EQ(c.render.parameters[0].name, "Pitch");
    EXPECT_FLOAT_EQ(c.render.parameters[0].value, -12.0f);
    EXPECT_EQ(c.render.parameters[1].name, "Mix");
    EXPECT_TRUE(c.render.switches.bypass);
    EXPECT_TRUE(c.render.switches.offline);
    EXPECT_FALSE(c.render.switches.mute);
    EXPECT_FALSE(c.render.switches.background);
    EXPECT_EQ(c.render.block, 1u);
    EXPECT_EQ(containerForName(c.render.format), SF_FORMAT_FLAC);
    EXPECT_EQ(c.common.content, "/v");
    EXPECT_EQ(c.common.verbosity, Verbosity::Verbose);

    // A --param takes exactly one value: the positionals after it stay positionals.
    r = parse({"render", "--voice", "Robot", "--param", "Tone=20", "a.wav", "b.wav", "--mute", "--background"});
    ASSERT_TRUE(r.run);
    EXPECT_EQ(r.command.render.input, "a.wav");
    EXPECT_EQ(r.command.render.output, "b.wav");
    EXPECT_EQ(r.command.render.block, 256u);
    EXPECT_TRUE(r.command.render.format.empty());
    EXPECT_TRUE(r.command.render.switches.mute);
    EXPECT_TRUE(r.command.render.switches.background);
    EXPECT_EQ(r.command.common.verbosity, Verbosity::Normal);
}

TEST(CommandLine, VoicesAndDemoHaveTheirDefaults) {
    ParseResult r = parse({"voices", "--json", "-q"});
    ASSERT_TRUE(r.run);
    EXPECT_EQ(r.command.kind, CommandKind::Voices);
    EXPECT_TRUE(r.command.voices.json);
    EXPECT_EQ(r.command.common.verbosity, Verbosity::Quiet);

    r = parse({"demo"});
    ASSERT_TRUE(r.run);
    EXPECT_EQ(r.command.kind, CommandKind::Demo);
    EXPECT_EQ(r.command.demo.outputDirectory, "demo-out");
    EXPECT_EQ(r.command.demo.block, 256u);
    r = parse({"demo", "elsewhere", "--block", "8192"});
    ASSERT_TRUE(r.run);
    EXPECT_EQ(r.command.demo.outputDirectory, "elsewhere");
    EXPECT_EQ(r.command.demo.block, 8192u);
}

TEST(CommandLine, LiveTakesTheVirtualMicWithOrWithoutANameAndTheCleanMic) {
    ParseResult r = parse({"live", "--virtual-mic", "--voice", "Robot"});
    ASSERT_TRUE(r.run);
    EXPECT_TRUE(r.command.live.virtualMic);
    EXPECT_EQ(r.command.live.virtualMicName, "Corvane Voice");  // no NAME: the default
    EXPECT_EQ(r.command.live.voice, "Robot");                   // not taken for the name
    EXPECT_FALSE(r.command.live.denoise);
    EXPECT_FALSE(r.command.live.gate);

    r = parse({"live", "--virtual-mic", "My Voice", "--monitor", "--denoise", "--gate", "-45"});
    ASSERT_TRUE(r.run);
    EXPECT_EQ(r.command.live.virtualMicName, "My Voice");
    EXPECT_TRUE(r.command.live.monitor);
    EXPECT_TRUE(r.command.live.denoise);
    EXPECT_TRUE(r.command.live.gate);
    EXPECT_DOUBLE_EQ(r.command.live.gateThreshold, -45.0);

    r = parse({"live"});
    ASSERT_TRUE(r.run);
    EXPECT_FALSE(r.command.live.virtualMic);

    // The monitor is the virtual microphone's; a gate above 0 dBFS never opens.
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"live", "--monitor"}, std::vector<std::string>{"live", "--gate", "3"}}) {
        std::string err;
        r = parse(bad, nullptr, &err);
        EXPECT_FALSE(r.run) << bad.back();
        EXPECT_EQ(r.status, kExitUsage) << err;
    }
}

TEST(CommandLine, BadUsageIsStatusTwoWithAMessageOnStandardError) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"sing"},
        {"render", "in.wav", "out.wav"},                               // no --voice
        {"render", "in.wav", "--voice", "Robot"},                      // no OUTPUT
        {"render", "in.wav", "out.wav", "--voice", "Robot", "--block", "0"},
        {"render", "in.wav", "out.wav", "--voice", "Robot", "--block", "many"},
        {"render", "in.wav", "out.wav", "--voice", "Robot", "--format", "aac"},
        {"render", "in.wav", "out.wav", "--voice", "Robot", "--param", "Tone"},
        {"render", "in.wav", "out.wav", "--voice", "Robot", "--quiet", "--verbose"},
        {"voices", "--colour"},
        {"voices", "--content", ""},                                   // not the default folder
        {"render", "in.wav", "out.wav", "--voice", "Robot", "--content="},
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(::testing::PrintToString(args));
        std::string out, err;
        const ParseResult r = parse(args, &out, &err);
        EXPECT_FALSE(r.run);
        EXPECT_EQ(r.status, kExitUsage);
        EXPECT_EQ(err.rfind("corvane-voicemod: ", 0), 0u) << err;
        EXPECT_TRUE(out.empty());
    }
}

TEST(CommandLine, HelpGoesToStandardOutputWithStatusZeroAndListsEveryOption) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"render", "--help"}, {"voices", "-h"}, {"demo", "--help"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        std::string out, err;
        const ParseResult r = parse(args, &out, &err);
        EXPECT_FALSE(r.run);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(out.find("Usage:"), std::string::npos);
        EXPECT_TRUE(err.empty());
    }
    std::string out;
    parse({"render", "--help"}, &out);
    for (const char* option : {"--voice", "--param", "--bypass", "--mute", "--background", "--offline", "--block",
                               "--content", "--format", "--quiet", "--verbose"})
        EXPECT_NE(out.find(option), std::string::npos) << option;
}

// --- where things are ------------------------------------------------------------

TEST(Locations, ContentFolderPrefersOptionThenEnvironmentThenInstalledThenSourceTree) {
    TempFolder root;
    fs::create_directories(root / "bin");
    const fs::path source = root / "src/voices";

    EXPECT_EQ(chooseContentDirectory("/opt", "/env", root / "bin", source).path, "/opt");
    EXPECT_EQ(chooseContentDirectory("/opt", "/env", root / "bin", source).origin, "--content");
    EXPECT_EQ(chooseContentDirectory("", "/env", root / "bin", source).path, "/env");
    // Nothing installed: the source tree, whether or not an empty variable is set.
    EXPECT_EQ(chooseContentDirectory("", "", root / "bin", source).path, source);
    EXPECT_EQ(chooseContentDirectory("", nullptr, std::nullopt, source).origin, "source tree");

    fs::create_directories(root / "share/corvane-voicemod/voices");
    const Location installed = chooseContentDirectory("", nullptr, root / "bin", source);
    EXPECT_EQ(installed.origin, "installed");
    EXPECT_TRUE(fs::equivalent(installed.path, root / "share/corvane-voicemod/voices"));
    EXPECT_EQ(chooseContentDirectory("", "/env", root / "bin", source).path, "/env");
}

TEST(Locations, SpeechSampleIsTheInstalledOneWhenThere) {
    TempFolder root;
    fs::create_directories(root / "bin");
    const fs::path source = root / "src/samples/speech.wav";
    EXPECT_EQ(chooseSpeechSample(root / "bin", source).path, source);
    fs::create_directories(root / "share/corvane-voicemod/samples");
    EXPECT_EQ(chooseSpeechSample(root / "bin", source).path, source) << "a folder without the file is not enough";
    std::ofstream(root / "share/corvane-voicemod/samples/speech.wav") << "x";
    const Location installed = chooseSpeechSample(root / "bin", source);
    EXPECT_EQ(installed.origin, "installed");
    EXPECT_TRUE(fs::equivalent(installed.path, root / "share/corvane-voicemod/samples/speech.wav"));
}

TEST(Locations, VoiceNamesBecomePlainFileStems) {
    EXPECT_EQ(fileStem("Deep Voice"), "deep-voice");
    EXPECT_EQ(fileStem("Walkie-Talkie"), "walkie-talkie");
    EXPECT_EQ(fileStem("  R2/D2 (v2)! "), "r2-d2-v2");
    EXPECT_EQ(fileStem("***"), "voice");
}

// --- formats -------------------------------------------------------------------

TEST(Formats, OutputKeepsTheInputsFormatUnlessAnotherContainerIsAsked) {
    EXPECT_EQ(containerForPath("a/b.WAV"), SF_FORMAT_WAV);
    EXPECT_EQ(containerForPath("x.flac"), SF_FORMAT_FLAC);
    EXPECT_EQ(containerForPath("x.oga"), SF_FORMAT_OGG);
    EXPECT_EQ(containerForPath("x.ogg"), SF_FORMAT_OGG);
    EXPECT_EQ(containerForPath("x.raw"), 0);
    EXPECT_EQ(containerForPath("noext"), 0);
    EXPECT_EQ(containerForName("Ogg"), SF_FORMAT_OGG);
    EXPECT_EQ(containerForName("MP3"), SF_FORMAT_MPEG);
    EXPECT_EQ(containerForPath("x.mp3"), SF_FORMAT_MPEG);
    EXPECT_EQ(containerForName("aac"), 0);

    const int wav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    const int wav24 = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    const int wavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    const int vorbis = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    EXPECT_EQ(chooseOutputFormat(wav16, 0), wav16);
    EXPECT_EQ(chooseOutputFormat(wavFloat, 0), wavFloat);
    EXPECT_EQ(chooseOutputFormat(vorbis, 0), vorbis);
    EXPECT_EQ(chooseOutputFormat(wav24, SF_FORMAT_FLAC), SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    EXPECT_EQ(chooseOutputFormat(wav16, SF_FORMAT_FLAC), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    EXPECT_EQ(chooseOutputFormat(wavFloat, SF_FORMAT_FLAC), SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    EXPECT_EQ(chooseOutputFormat(wav16, SF_FORMAT_OGG), vorbis);
    EXPECT_EQ(chooseOutputFormat(vorbis, SF_FORMAT_WAV), wav16);
    EXPECT_EQ(chooseOutputFormat(SF_FORMAT_FLAC | SF_FORMAT_PCM_24, SF_FORMAT_WAV), wav24);
    // MP3's encoding stays with MP3: into WAV or FLAC it becomes PCM.
    const int mp3 = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    EXPECT_EQ(chooseOutputFormat(mp3, SF_FORMAT_WAV), wav16);
    EXPECT_EQ(chooseOutputFormat(mp3, SF_FORMAT_FLAC), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    EXPECT_EQ(chooseOutputFormat(mp3, 0), mp3);
    EXPECT_EQ(chooseOutputFormat(wav24, SF_FORMAT_MPEG), mp3);
    EXPECT_EQ(describeFormat(mp3), "MP3");

    EXPECT_EQ(describeFormat(wav16), "WAV 16-bit PCM");
    EXPECT_EQ(describeFormat(vorbis), "Ogg Vorbis");
    EXPECT_EQ(describeFormat(SF_FORMAT_FLAC | SF_FORMAT_PCM_24), "FLAC 24-bit PCM");
}

// --- audio files -----------------------------------------------------------------

TEST(SoundFiles, IntegerPcmComesBackExactlyThroughTheGraph) {
    TempFolder dir;
    struct Case {
        int format;
        int bits;
        std::uint32_t block;
    };
    for (const Case& c : {Case{SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16, 256}, Case{SF_FORMAT_WAV | SF_FORMAT_PCM_24, 24, 1},
                          Case{SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 16, 8192},
                          Case{SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 24, 100},
                          Case{SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 8, 64}}) {
        SCOPED_TRACE(describeFormat(c.format));
        if (!containerAvailable(c.format & SF_FORMAT_TYPEMASK)) {
            std::printf("[  NOTE    ] %s not checked: this libsndfile lacks it (no external codecs)\n",
                        describeFormat(c.format).c_str());
            continue;
        }
        const std::vector<int> codes = codesFor(c.bits, 2 * 3001);
        const fs::path in = dir / "in.audio", out = dir / "out.audio";
        writeInts(in, c.format, 44100, 2, codes);
        copyThroughGraph(in, out, chooseOutputFormat(c.format, 0), c.block);
        SF_INFO info{};
        const std::vector<int> back = readInts(out, info);
        EXPECT_EQ(info.format, c.format);
        EXPECT_EQ(info.channels, 2);
        EXPECT_EQ(info.samplerate, 44100);
        EXPECT_EQ(back, codes);
    }
}

TEST(SoundFiles, ReaderAddsSilenceBeforeAndAfterTheFile) {
    TempFolder dir;
    const fs::path in = dir / "in.wav";
    writeInts(in, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, std::vector<int>(10, 1 << 30));
    SoundFileReader reader(in);
    EXPECT_EQ(reader.frames(), 10u);
    reader.setLeadingSilence(5);
    reader.setTrailingSilence(7);
    ASSERT_TRUE(reader.prepare({8000, 1, 4}).isSuccess());
    AudioBuffer<float> block(1, 4);
    std::vector<float> all;
    for (std::uint32_t n; (n = reader.read(block)) > 0;)
        all.insert(all.end(), block.getReadPointer(0), block.getReadPointer(0) + n);
    std::vector<float> expected(5, 0.0f);
    expected.insert(expected.end(), 10, 0.5f);
    expected.insert(expected.end(), 7, 0.0f);
    EXPECT_EQ(all, expected);
    EXPECT_FALSE(reader.failed());
}

TEST(SoundFiles, WriterTouchesTheTargetOnlyOnCommit) {
    TempFolder dir;
    const fs::path target = dir / "out.wav";
    std::ofstream(target) << "previous";
    AudioBuffer<float> block(1, 16);
    {
        SoundFileWriter writer(target, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        ASSERT_TRUE(writer.prepare({48000, 1, 16}).isSuccess());
        EXPECT_TRUE(fs::exists(writer.temporaryPath()));
        EXPECT_EQ(writer.temporaryPath().parent_path(), dir.path());
        EXPECT_TRUE(writer.write(block));
        // Destroyed without commit: a failed render.
    }
    {
        // Closed again before the file is replaced (Windows replaces no open file).
        std::ifstream kept(target);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "previous");
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    SoundFileWriter writer(target, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    writer.setLeadingSkip(6);
    ASSERT_TRUE(writer.prepare({48000, 1, 16}).isSuccess());
    EXPECT_TRUE(writer.write(block));
    writer.commit();
    EXPECT_EQ(writer.framesWritten(), 10u);
    SF_INFO info{};
    EXPECT_EQ(readInts(target, info).size(), 10u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(SoundFiles, WriterRefusesAFormatThatCannotHoldTheStream) {
    TempFolder dir;
    // FLAC holds at most 8 channels.
    SoundFileWriter tooWide(dir / "wide.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    const Result<void> wide = tooWide.prepare({48000, 9, 16});
    ASSERT_TRUE(wide.isError());
    EXPECT_EQ(wide.error().getMessage(), "cannot write \"" + (dir / "wide.flac").string() +
                                             "\": FLAC 16-bit PCM cannot hold 9 channel(s) at 48000 Hz");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 0);
}

TEST(SoundFiles, WriterClipsInsteadOfWrapping) {
    TempFolder dir;
    const fs::path target = dir / "loud.wav";
    SoundFileWriter writer(target, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    ASSERT_TRUE(writer.prepare({48000, 1, 4}).isSuccess());
    AudioBuffer<float> block(1, 4);
    const float loud[4] = {1.0f, 1.5f, -1.0f, -3.0f};
    std::copy(loud, loud + 4, block.getWritePointer(0));
    ASSERT_TRUE(writer.write(block));
    writer.commit();
    SF_INFO info{};
    const std::vector<int> back = readInts(target, info);
    const int top = 32767 << 16, bottom = -32768 * 65536;
    EXPECT_EQ(back, (std::vector<int>{top, top, bottom, bottom}));
}

// --- progress ----------------------------------------------------------------------

TEST(ProgressBar, DrawsOnlyWhenEnabledAndClearsItself) {
    EXPECT_EQ(Progress::bar(0.0, 4), "[....]");
    EXPECT_EQ(Progress::bar(0.5, 4), "[##..]");
    EXPECT_EQ(Progress::bar(1.0, 4), "[####]");
    EXPECT_EQ(Progress::bar(7.0, 4), "[####]");

    std::ostringstream quiet;
    {
        Progress off(quiet, false, "x", std::chrono::milliseconds(0));
        off.update(5, 10);
    }
    EXPECT_TRUE(quiet.str().empty());

    std::ostringstream delayed;
    {
        Progress late(delayed, true, "x", std::chrono::hours(1));
        late.update(5, 10);
    }
    EXPECT_TRUE(delayed.str().empty()) << "quick work draws nothing";

    std::ostringstream shown;
    Progress on(shown, true, "out.wav", std::chrono::milliseconds(0));
    on.update(5, 10);
    EXPECT_TRUE(on.shown());
    EXPECT_NE(shown.str().find("out.wav [###############...............]  50%"), std::string::npos) << shown.str();
    on.finish();
    EXPECT_FALSE(on.shown());
    EXPECT_EQ(shown.str().substr(shown.str().size() - 4), "\r\033[K");
}

// The demo page's pictures compare voices only if the scale is what the page
// says: rows of 24 kHz / 256 from the bottom, colours from -110 dB (index 0)
// to -10 dB (255) against a full-scale sine, nothing above a file's Nyquist.
TEST(Spectrogram, PutsASineInItsRowAtItsLevelOnTheStatedScale) {
    const SpectrogramScale scale;
    const auto sine = [](double rate, double hz, double amplitude) {
        std::vector<float> samples(static_cast<std::size_t>(rate));  // 1 s
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<float>(amplitude * std::sin(2.0 * 3.14159265358979323846 * hz * i / rate));
        return samples;
    };
    const auto pixel = [](const IndexedPicture& p, std::uint32_t rowFromBottom, std::uint32_t column) {
        return static_cast<int>(p.pixels[static_cast<std::size_t>(p.height - 1 - rowFromBottom) * p.width + column]);
    };

    // 6 kHz at -40 dB: row 64 (6000 / 93.75), colour (−40 + 110) / 100 of 255.
    const IndexedPicture at48 = spectrogram(sine(48000.0, 6000.0, 0.01), 48000.0, scale);
    ASSERT_EQ(at48.width, 100u);
    ASSERT_EQ(at48.height, 256u);
    std::uint32_t brightest = 0;
    for (std::uint32_t row = 0; row < at48.height; ++row)
        if (pixel(at48, row, 50) > pixel(at48, brightest, 50)) brightest = row;
    EXPECT_EQ(brightest, 64u);
    EXPECT_NEAR(pixel(at48, 64, 50), 178, 3);
    EXPECT_LT(pixel(at48, 128, 50), 30) << "12 kHz holds nothing of a 6 kHz sine";

    // At 16 kHz the rows above 8 kHz are beyond the file: floor colour.
    const IndexedPicture at16 = spectrogram(sine(16000.0, 1000.0, 0.5), 16000.0, scale);
    EXPECT_GT(pixel(at16, 10, 50), 200);
    for (std::uint32_t row = 86; row < at16.height; ++row) EXPECT_EQ(pixel(at16, row, 50), 0) << row;
}
