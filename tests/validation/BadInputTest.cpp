// BadInputTest.cpp - every kind of bad input tried on the library and on the
// engine's C interface: each must end in its documented error (result code
// and description, or exception and message) and leave the current voice,
// the switches, the parameters and the catalogue as they were.
//
// Each case is recorded with what it actually got; with
// CORVANE_BAD_INPUT_ROWS=<folder> the records are written there as the
// Markdown tables library.md and engine.md, from which docs/BAD_INPUT.md is
// made (scripts/bad-input-doc.cmake, checked by the ctest bad_input_doc).
#include <gtest/gtest.h>

#include <VoicemodUSDK.h>
#include <VoicemodUSDKExtras.h>
#include <VoicemodUSDKResults.h>

#include <corvane/Corvane.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Cases.h"
#include "LogCapture.h"
#include "ScratchDirectory.h"
#include "corvane/voicemod/VoicemodExtension.h"

namespace validation {
namespace {

using corvane::extensions::voicemod::VoicemodError;
using corvane::extensions::voicemod::VoicemodExtension;
using corvane::extensions::voicemod::VoicemodNode;
namespace fs = std::filesystem;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct Row {
    std::string layer, input, outcome;
};
std::vector<Row>& rows() {
    static std::vector<Row> r;
    return r;
}

std::string codeName(std::int32_t code) {
    switch (code) {
        case VCMD_OK: return "VCMD_OK";
        case VCMD_ERR_NOT_STARTED: return "VCMD_ERR_NOT_STARTED";
        case VCMD_ERR_INVALID_ARGUMENT: return "VCMD_ERR_INVALID_ARGUMENT";
        case VCMD_ERR_NULL_POINTER: return "VCMD_ERR_NULL_POINTER";
        case VCMD_ERR_NO_SUCH_FILE: return "VCMD_ERR_NO_SUCH_FILE";
        case VCMD_ERR_INVALID_PACKAGE: return "VCMD_ERR_INVALID_PACKAGE";
        case VCMD_ERR_UNKNOWN_VOICE: return "VCMD_ERR_UNKNOWN_VOICE";
        case VCMD_ERR_UNKNOWN_PARAMETER: return "VCMD_ERR_UNKNOWN_PARAMETER";
        case VCMD_ERR_VALUE_OUT_OF_RANGE: return "VCMD_ERR_VALUE_OUT_OF_RANGE";
        case VCMD_ERR_BUFFER_TOO_SMALL: return "VCMD_ERR_BUFFER_TOO_SMALL";
        case VCMD_ERR_UNSUPPORTED_SAMPLE_RATE: return "VCMD_ERR_UNSUPPORTED_SAMPLE_RATE";
        case VCMD_ERR_OUT_OF_MEMORY: return "VCMD_ERR_OUT_OF_MEMORY";
        case VCMD_ERR_INTERNAL: return "VCMD_ERR_INTERNAL";
        case VCMD_ALREADY_STARTED: return "VCMD_ALREADY_STARTED";
        default: return "unknown";
    }
}

// Paths in messages are shown relative to the scratch directory.
// Bytes outside printable ASCII are shown as \xNN.
std::string shortened(std::string text, const std::string& dir) {
    for (std::size_t at; !dir.empty() && (at = text.find(dir)) != std::string::npos;) text.replace(at, dir.size(), "<dir>");
    std::string shown;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            shown += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            shown += hex;
        }
    }
    return shown;
}

// What the application can observe of the engine's state.
struct State {
    std::string voice;
    bool bypass, mute, offline, background;
    std::vector<float> parameters;
    std::uint32_t voices;
    bool operator==(const State& o) const {
        return voice == o.voice && bypass == o.bypass && mute == o.mute && offline == o.offline &&
               background == o.background && parameters == o.parameters && voices == o.voices;
    }
};

State observe(VoicemodNode& node) {
    State s;
    s.voice = node.getCurrentVoice();
    s.bypass = node.getBypassEnabled();
    s.mute = node.getMuteEnabled();
    s.offline = node.getOfflineModeEnabled();
    s.background = node.getBackgroundSoundsEnabled();
    for (const ParameterInfo& p : voiceNamed(s.voice).parameters) s.parameters.push_back(node.getParameter(p.name.c_str()));
    s.voices = static_cast<std::uint32_t>(VoicemodExtension::listVoices().size());
    return s;
}

class BadInput : public ::testing::Test {
protected:
    void SetUp() override {
        voices();
        // A voice with parameters, moved off its defaults, and switches set,
        // so that a lost setting shows.
        for (const VoiceInfo& v : voices())
            if (!v.parameters.empty()) {
                voice = &v;
                break;
            }
        ASSERT_NE(voice, nullptr) << "no shipped voice has a parameter";
        startFrom(node, voice->name, 2);
        const ParameterInfo& p = voice->parameters.front();
        node.setParameter(p.name.c_str(), p.minimum + (p.maximum - p.minimum) * 0.25f);
        node.setBypassEnabled(false);
        node.setMuteEnabled(false);
        node.setBackgroundSoundsEnabled(false);
        before = observe(node);
        scratch = std::make_unique<testsupport::ScratchDirectory>("corvane-bad-input");
        dir = scratch->path();
    }
    void TearDown() override {
        scratch.reset();
        node.setBackgroundSoundsEnabled(true);
    }

    // The state must not have moved.
    void unchanged(const std::string& after) {
        EXPECT_TRUE(observe(node) == before) << "state changed after " << after;
    }

    // A C call that must fail with `expected`.
    void engine(const std::string& input, std::int32_t expected, const std::function<std::int32_t()>& call) {
        const std::int32_t code = call();
        EXPECT_EQ(code, expected) << input << ": got " << codeName(code);
        const char* text = vcmdGetResultDescription(code);
        ASSERT_NE(text, nullptr);
        rows().push_back({"engine", input, std::to_string(code) + " " + codeName(code) + ": \"" +
                                               shortened(text, dir.string()) + "\""});
        unchanged(input);
    }

    // A library control that must throw VoicemodError with `expected`.
    void control(const std::string& input, std::int32_t expected, const std::function<void()>& call) {
        try {
            call();
            ADD_FAILURE() << input << ": no VoicemodError";
            rows().push_back({"library", input, "no error (fault)"});
        } catch (const VoicemodError& e) {
            EXPECT_EQ(e.code(), expected) << input << ": " << e.what();
            rows().push_back({"library", input, "VoicemodError " + std::to_string(e.code()) + ": \"" +
                                                    shortened(e.what(), dir.string()) + "\""});
        }
        unchanged(input);
    }

    template <typename Exception>
    void throws(const std::string& input, const std::function<void()>& call, const char* name) {
        try {
            call();
            ADD_FAILURE() << input << ": no " << name;
            rows().push_back({"library", input, "no exception (fault)"});
        } catch (const Exception& e) {
            rows().push_back({"library", input, std::string(name) + ": \"" + shortened(e.what(), dir.string()) + "\""});
        } catch (const std::exception& e) {
            ADD_FAILURE() << input << ": other exception " << e.what();
        }
        unchanged(input);
    }

    // A graph call that must return `expected` and log `expectedLog` (empty:
    // nothing) at error level.
    void graph(const std::string& input, bool expected, const std::string& expectedLog,
               const std::function<bool()>& call) {
        bool result = !expected;
        std::vector<std::string> messages;
        {
            testsupport::LogCapture log;
            result = call();
            messages = log.messages(corvane::LogLevel::Error);
        }
        std::string logged;
        for (const std::string& line : messages) logged += ", logs \"" + line + "\"";
        EXPECT_EQ(result, expected) << input;
        EXPECT_EQ(messages,
                  expectedLog.empty() ? std::vector<std::string>{} : std::vector<std::string>{expectedLog})
            << input;
        rows().push_back({"library", input, std::string(result ? "true" : "false") + (logged.empty() ? ", logs nothing" : logged)});
        unchanged(input);
    }

    std::string writeFile(const std::string& name, const std::string& content) {
        const fs::path p = dir / name;
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }

    VoicemodNode node;
    const VoiceInfo* voice = nullptr;
    State before;
    std::unique_ptr<testsupport::ScratchDirectory> scratch;
    fs::path dir;
};

TEST_F(BadInput, VoiceControls) {
    const std::string param = voice->parameters.front().name;
    const float lo = voice->parameters.front().minimum, hi = voice->parameters.front().maximum;
    control("loadVoice of an unknown name", VCMD_ERR_UNKNOWN_VOICE, [&] { node.loadVoice("No Such Voice"); });
    control("loadVoice(\"\")", VCMD_ERR_UNKNOWN_VOICE, [&] { node.loadVoice(""); });
    control("loadVoice with a different case", VCMD_ERR_UNKNOWN_VOICE, [&] {
        std::string upper = voice->name;
        for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        if (upper == voice->name) upper += "x";
        node.loadVoice(upper);
    });
    // The name goes to the voice changer as a C string: it ends at the NUL.
    control("loadVoice(\"Nob\\0dy\"), a name with an embedded NUL", VCMD_ERR_UNKNOWN_VOICE,
            [&] { node.loadVoice(std::string("Nob\0dy", 6)); });
    control("setParameter(nullptr, 0)", VCMD_ERR_NULL_POINTER, [&] { node.setParameter(nullptr, 0.0f); });
    control("setParameter of an unknown name", VCMD_ERR_UNKNOWN_PARAMETER, [&] { node.setParameter("No Such", 0.0f); });
    control("setParameter(name, NaN)", VCMD_ERR_VALUE_OUT_OF_RANGE, [&] { node.setParameter(param.c_str(), kNaN); });
    control("setParameter(name, +infinity)", VCMD_ERR_VALUE_OUT_OF_RANGE, [&] { node.setParameter(param.c_str(), kInf); });
    control("setParameter(name, -infinity)", VCMD_ERR_VALUE_OUT_OF_RANGE, [&] { node.setParameter(param.c_str(), -kInf); });
    control("setParameter just below the minimum", VCMD_ERR_VALUE_OUT_OF_RANGE,
            [&] { node.setParameter(param.c_str(), std::nextafter(lo, -kInf)); });
    control("setParameter just above the maximum", VCMD_ERR_VALUE_OUT_OF_RANGE,
            [&] { node.setParameter(param.c_str(), std::nextafter(hi, kInf)); });
    control("getParameter(nullptr)", VCMD_ERR_NULL_POINTER, [&] { node.getParameter(nullptr); });
    control("getParameter of an unknown name", VCMD_ERR_UNKNOWN_PARAMETER, [&] { node.getParameter("No Such"); });
}

// A known name followed by a NUL and more is not refused: the voice changer
// is handed a C string, so the voice named before the NUL is loaded.
TEST_F(BadInput, NameWithAnEmbeddedNulLoadsTheVoiceBeforeIt) {
    const VoiceInfo* other = nullptr;
    for (const VoiceInfo& v : voices())
        if (v.name != voice->name) {
            other = &v;
            break;
        }
    ASSERT_NE(other, nullptr) << "only one voice is shipped";
    bool loaded = false;
    EXPECT_NO_THROW(loaded = node.loadVoice(other->name + std::string("\0 and more", 10)));
    const std::string current = node.getCurrentVoice();
    EXPECT_TRUE(loaded);
    EXPECT_EQ(current, other->name);
    rows().push_back(
        {"library", "loadVoice(\"" + other->name + "\\0 and more\"), a known name, a NUL, more",
         std::string(loaded ? "true" : "false") + ", the current voice is now \"" + current + "\""});
}

TEST_F(BadInput, GraphCalls) {
    graph("setBusFormat with input 48000 Hz and output 44100 Hz", false, "", [&] {
        corvane::AudioBusFormat in, out;
        in.sampleRate = 48000;
        out.sampleRate = 44100;
        return node.setBusFormat(in, out);
    });
    for (std::uint32_t rate : {0u, 7999u, 192001u, 1000000u}) {
        graph("setBusFormat at " + std::to_string(rate) + " Hz", false, "Could not set sample rate.",
              [&] { return negotiate(node, rate, 2, 256); });
    }
    graph("process with an output bus without a buffer", false, "", [&] {
        Buses b(2, 16);
        corvane::AudioBus none;
        return node.process(b.inBus, none);
    });
    graph("process with a bus of no channels", true, "", [&] {
        corvane::AudioBuffer<float> empty;
        corvane::AudioBus in{&empty}, out{&empty};
        return node.process(in, out);
    });
    // A block of no frames is nothing to process, whether the buffer was
    // shortened to it or never had storage (its channel pointers are null).
    graph("process of a block shortened to 0 frames", true, "", [&] {
        Buses b(2, 16);
        b.setFrames(0);
        return node.process(b.inBus, b.outBus);
    });
    for (std::uint32_t outChannels : {1u, 2u}) {
        graph(std::string("process of a mono block of 0 frames without storage") +
                  (outChannels == 1 ? "" : " into a stereo one"),
              true, "", [&] {
                  corvane::AudioBuffer<float> in(1, 0), out(outChannels, 0);
                  corvane::AudioBus inBus{&in}, outBus{&out};
                  return node.process(inBus, outBus);
              });
    }
    graph("process with 3 channels", true, "", [&] {
        Buses b(3, 64);
        b.fill(0.5f);
        const bool ok = node.process(b.inBus, b.outBus);
        for (std::uint32_t i = 0; i < 64; ++i)
            EXPECT_EQ(b.output(2)[i], 0.5f) << "channel 2 must keep the input";
        return ok;
    });
    graph("process with a mono input bus into a stereo output bus", true, "", [&] {
        corvane::AudioBuffer<float> in(1, 64), out(2, 64);
        std::fill_n(out.getWritePointer(1), 64, 0.5f);
        corvane::AudioBus inBus{&in}, outBus{&out};
        const bool ok = node.process(inBus, outBus);
        for (std::uint32_t i = 0; i < 64; ++i) EXPECT_TRUE(std::isfinite(out.getReadPointer(1)[i]));
        return ok;
    });
    ASSERT_TRUE(negotiate(node, 48000, 2, 1024));
}

TEST_F(BadInput, Packages) {
    const std::uint32_t count = before.voices;
    auto mount = [&](const std::string& input, const std::string& path, std::int32_t expected) {
        engine(input, expected, [&] {
            std::int32_t id = -1;
            const std::int32_t code = vcmdMountPackage(path.c_str(), 0, 0, 0, &id);
            EXPECT_EQ(id, -1) << input << ": the id was written";
            return code;
        });
    };
    mount("vcmdMountPackage of a missing file", (dir / "missing.zvmd").string(), VCMD_ERR_NO_SUCH_FILE);
    mount("vcmdMountPackage of a directory", dir.string(), VCMD_ERR_INVALID_PACKAGE);
    mount("vcmdMountPackage of an empty file", writeFile("empty.zvmd", ""), VCMD_ERR_INVALID_PACKAGE);
    mount("vcmdMountPackage of a file that is not JSON", writeFile("riff.zvmd", "RIFF\x01\x02WAVE"), VCMD_ERR_INVALID_PACKAGE);
    mount("vcmdMountPackage of truncated JSON", writeFile("cut.zvmd", "{\"format\": \"corvane-voice-pack"),
          VCMD_ERR_INVALID_PACKAGE);
    mount("vcmdMountPackage of a file over 1 MiB", writeFile("big.zvmd", std::string(1024 * 1024 + 1, ' ')),
          VCMD_ERR_INVALID_PACKAGE);
    // One good voice, then a fault in the second: nothing of the package mounts.
    const std::string good = "{\"name\": \"Fine\", \"effects\": [{\"id\": \"g\", \"type\": \"gain\"}], \"parameters\": []}";
    mount("vcmdMountPackage of a package whose second voice is bad",
          writeFile("half.zvmd", "{\"format\": \"corvane-voice-package\", \"version\": 1, \"voices\": [" + good +
                                     ", {\"name\": \"Bad\", \"effects\": [{\"id\": \"x\", \"type\": \"flanger\"}], "
                                     "\"parameters\": []}]}"),
          VCMD_ERR_INVALID_PACKAGE);
    mount("vcmdMountPackage of a package with format version 2",
          writeFile("v2.zvmd", "{\"format\": \"corvane-voice-package\", \"version\": 2, \"voices\": [" + good + "]}"),
          VCMD_ERR_INVALID_PACKAGE);
    mount("vcmdMountPackage of a package with a NaN token",
          writeFile("nan.zvmd", "{\"format\": \"corvane-voice-package\", \"version\": 1, \"voices\": [{\"name\": \"N\", "
                                "\"effects\": [{\"id\": \"g\", \"type\": \"gain\", \"settings\": {\"gain_db\": NaN}}], "
                                "\"parameters\": []}]}"),
          VCMD_ERR_INVALID_PACKAGE);
    mount("vcmdMountPackage of a package with a number too large for a double",
          writeFile("big-number.zvmd", "{\"format\": \"corvane-voice-package\", \"version\": 1, \"voices\": [{\"name\": "
                                       "\"N\", \"effects\": [{\"id\": \"g\", \"type\": \"gain\", \"settings\": "
                                       "{\"gain_db\": 1e999}}], \"parameters\": []}]}"),
          VCMD_ERR_INVALID_PACKAGE);
    mount("vcmdMountPackage of invalid UTF-8", writeFile("utf8.zvmd", "{\"format\": \"\xff\xfe\"}"), VCMD_ERR_INVALID_PACKAGE);
    mount("vcmdMountPackage of 100 000 nested arrays", writeFile("deep.zvmd", std::string(100000, '[') + std::string(100000, ']')),
          VCMD_ERR_INVALID_PACKAGE);
    engine("vcmdMountPackage(nullptr, ...)", VCMD_ERR_NULL_POINTER, [&] {
        std::int32_t id = -1;
        return vcmdMountPackage(nullptr, 0, 0, 0, &id);
    });
    engine("vcmdMountPackage with a null id pointer", VCMD_ERR_NULL_POINTER,
           [&] { return vcmdMountPackage((voicesDirectory() + "/devices.zvmd").c_str(), 0, 0, 0, nullptr); });
    engine("vcmdMountPackage with a non-zero reserved argument", VCMD_ERR_INVALID_ARGUMENT, [&] {
        std::int32_t id = -1;
        return vcmdMountPackage((voicesDirectory() + "/devices.zvmd").c_str(), 1, 0, 0, &id);
    });
    engine("vcmdMountPackage(\"\")", VCMD_ERR_INVALID_ARGUMENT, [&] {
        std::int32_t id = -1;
        return vcmdMountPackage("", 0, 0, 0, &id);
    });
    EXPECT_EQ(VoicemodExtension::listVoices().size(), count);

    // Through the library: a content directory with one good and one bad package.
    fs::create_directories(dir / "content");
    fs::copy_file(fs::path(voicesDirectory()) / "devices.zvmd", dir / "content" / "devices.zvmd");
    std::ofstream(dir / "content" / "broken.zvmd") << "{\"format\": 1}";
    throws<VoicemodError>("initialize on a content directory holding a malformed package", [&] {
        VoicemodExtension::initialize("k", "s", (dir / "content").string().c_str());
    }, "VoicemodError -5");
    throws<std::filesystem::filesystem_error>("initialize on a missing content directory", [&] {
        VoicemodExtension::initialize("k", "s", (dir / "nowhere").string().c_str());
    }, "std::filesystem::filesystem_error");
    throws<std::invalid_argument>("initialize(nullptr, ...)", [&] { VoicemodExtension::initialize(nullptr, "s", "."); },
                                  "std::invalid_argument");
    throws<std::invalid_argument>("initialize with a null content directory",
                                  [&] { VoicemodExtension::initialize("k", "s", nullptr); }, "std::invalid_argument");
}

TEST_F(BadInput, CInterfaceArguments) {
    char name[256];
    char* names[1] = {name};
    engine("vcmdInitSDK(nullptr, ...)", VCMD_ERR_NULL_POINTER, [] { return vcmdInitSDK(nullptr, "s", "1.0"); });
    engine("vcmdInitSDK with version \"2.0\"", VCMD_ERR_INVALID_ARGUMENT, [] { return vcmdInitSDK("k", "s", "2.0"); });
    engine("vcmdInitSDK a second time", VCMD_ALREADY_STARTED, [] { return vcmdInitSDK("k", "s", "1.0"); });
    engine("vcmdSetTempPath(nullptr)", VCMD_ERR_NULL_POINTER, [] { return vcmdSetTempPath(nullptr); });
    engine("vcmdSetContentPath(\"\")", VCMD_ERR_INVALID_ARGUMENT, [] { return vcmdSetContentPath(""); });
    engine("vcmdGetNumberOfVoices with selector 0", VCMD_ERR_INVALID_ARGUMENT, [] {
        std::uint32_t n = 0;
        return vcmdGetNumberOfVoices(0, &n);
    });
    engine("vcmdGetNumberOfVoices(1, nullptr)", VCMD_ERR_NULL_POINTER, [] { return vcmdGetNumberOfVoices(1, nullptr); });
    engine("vcmdGetVoiceNames(nullptr, ...)", VCMD_ERR_NULL_POINTER, [] { return vcmdGetVoiceNames(nullptr, 1, 255, 1); });
    engine("vcmdGetVoiceNames with more names than voices", VCMD_ERR_INVALID_ARGUMENT,
           [&] { return vcmdGetVoiceNames(names, 100000, 255, 1); });
    engine("vcmdGetVoiceNames with buffers of 1 byte", VCMD_ERR_BUFFER_TOO_SMALL,
           [&] { return vcmdGetVoiceNames(names, 1, 1, 1); });
    engine("vcmdGetVoiceNames with a null buffer in the array", VCMD_ERR_NULL_POINTER, [&] {
        char* none[1] = {nullptr};
        return vcmdGetVoiceNames(none, 1, 255, 1);
    });
    engine("vcmdLoadVoice(nullptr, 0, 0)", VCMD_ERR_NULL_POINTER, [] { return vcmdLoadVoice(nullptr, 0, 0); });
    engine("vcmdLoadVoice with a non-zero reserved argument", VCMD_ERR_INVALID_ARGUMENT,
           [&] { return vcmdLoadVoice(voice->name.c_str(), 0, 7); });
    engine("vcmdGetCurrentVoice into a 1-byte buffer", VCMD_ERR_BUFFER_TOO_SMALL, [&] {
        std::uint32_t length = 1;
        return vcmdGetCurrentVoice(name, &length);
    });
    engine("vcmdGetCurrentVoice(nullptr, ...)", VCMD_ERR_NULL_POINTER, [] {
        std::uint32_t length = 100;
        return vcmdGetCurrentVoice(nullptr, &length);
    });
    engine("vcmdGetBypass(nullptr) (and the other three getters)", VCMD_ERR_NULL_POINTER, [] {
        const std::int32_t a = vcmdGetMute(nullptr), b = vcmdIsOfflineModeEnabled(nullptr),
                           c = vcmdIsBackgroundSoundsEnabled(nullptr);
        EXPECT_TRUE(a == VCMD_ERR_NULL_POINTER && b == a && c == a);
        return vcmdGetBypass(nullptr);
    });
    for (float rate : {kNaN, kInf, -48000.0f, 0.0f, 7999.99f, 192000.02f}) {
        std::ostringstream s;
        s.precision(9);
        s << "vcmdSetSampleRate(" << rate << ")";
        engine(s.str(), VCMD_ERR_UNSUPPORTED_SAMPLE_RATE, [rate] { return vcmdSetSampleRate(rate); });
    }
    float samples[64] = {};
    engine("vcmdProcessBuffer(nullptr, 64)", VCMD_ERR_NULL_POINTER, [] { return vcmdProcessBuffer(nullptr, 64); });
    engine("vcmdProcessBuffer with 2^24 + 1 frames", VCMD_ERR_INVALID_ARGUMENT,
           [&] { return vcmdProcessBuffer(samples, (1u << 24) + 1); });
    engine("vcmdProcessBuffer with 4294967295 frames", VCMD_ERR_INVALID_ARGUMENT,
           [&] { return vcmdProcessBuffer(samples, 0xFFFFFFFFu); });
    engine("vcmdProcessStereoBuffer with one buffer for both channels", VCMD_ERR_INVALID_ARGUMENT,
           [&] { return vcmdProcessStereoBuffer(samples, samples, 64); });
    engine("vcmdProcessStereoBuffer with overlapping channels", VCMD_ERR_INVALID_ARGUMENT,
           [&] { return vcmdProcessStereoBuffer(samples, samples + 16, 32); });
    engine("vcmdProcessStereoBuffer(left, nullptr, 64)", VCMD_ERR_NULL_POINTER,
           [&] { return vcmdProcessStereoBuffer(samples, nullptr, 64); });
    engine("vcmdGetVoiceInfoJson of an unknown voice", VCMD_ERR_UNKNOWN_VOICE, [&] {
        std::uint32_t length = sizeof name;
        return vcmdGetVoiceInfoJson("No Such Voice", name, &length);
    });
    engine("vcmdGetVoiceInfoJson into a 4-byte buffer", VCMD_ERR_BUFFER_TOO_SMALL, [&] {
        std::uint32_t length = 4;
        const std::int32_t code = vcmdGetVoiceInfoJson(voice->name.c_str(), name, &length);
        EXPECT_GT(length, 4u) << "the size needed is given back";
        return code;
    });
    const char* unknown = vcmdGetResultDescription(12345);
    ASSERT_NE(unknown, nullptr);
    rows().push_back({"engine", "vcmdGetResultDescription(12345)", std::string("\"") + unknown + "\""});
}

// Before vcmdInitSDK every call but the two text queries is refused; the
// engine is brought back up through the library afterwards.
TEST(BadInputBeforeStart, EveryCallIsRefused) {
    voices();
    vcmdResetForTesting();
    std::uint32_t n = 0;
    bool b = false;
    float f = 0.0f, x[4] = {};
    std::int32_t id = -1;
    const std::int32_t codes[] = {vcmdSetTempPath("/tmp"), vcmdSetContentPath("/tmp"),
                                  vcmdMountPackage("x.zvmd", 0, 0, 0, &id), vcmdGetNumberOfVoices(1, &n),
                                  vcmdLoadVoice("Robot", 0, 0), vcmdSetBypass(true), vcmdGetBypass(&b),
                                  vcmdSetParameter("Pitch", 0.0f), vcmdGetParameter("Pitch", &f),
                                  vcmdSetSampleRate(48000.0f), vcmdProcessBuffer(x, 4), vcmdProcessStereoBuffer(x, x + 2, 2)};
    for (std::int32_t code : codes) EXPECT_EQ(code, VCMD_ERR_NOT_STARTED);
    rows().push_back({"engine", "any call but vcmdInitSDK, vcmdGetVersionString and vcmdGetResultDescription before vcmdInitSDK",
                      std::to_string(VCMD_ERR_NOT_STARTED) + " VCMD_ERR_NOT_STARTED: \"" +
                          vcmdGetResultDescription(VCMD_ERR_NOT_STARTED) + "\""});
    VoicemodExtension::initialize("validation-key", "validation-secret", voicesDirectory().c_str());
    EXPECT_EQ(VoicemodExtension::listVoices().size(), voices().size());
}

// Writes the tables when asked to: one Markdown table per layer.
class TableWriter : public ::testing::Environment {
public:
    void TearDown() override {
        const char* folder = std::getenv("CORVANE_BAD_INPUT_ROWS");
        if (folder == nullptr || *folder == '\0' || rows().empty()) return;
        for (const char* layer : {"library", "engine"}) {
            std::ofstream out(fs::path(folder) / (std::string(layer) + ".md"), std::ios::binary);
            out << "| Bad input | What it gets |\n|---|---|\n";
            for (const Row& r : rows())
                if (r.layer == layer) out << "| " << cell(r.input) << " | " << cell(r.outcome) << " |\n";
        }
    }

private:
    static std::string cell(std::string text) {
        for (std::size_t at = 0; (at = text.find('|', at)) != std::string::npos; at += 2)
            text.replace(at, 1, "\\|");
        return text;
    }
};
const auto* const kTable = ::testing::AddGlobalTestEnvironment(new TableWriter);

}  // namespace
}  // namespace validation
