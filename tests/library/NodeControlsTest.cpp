#include <corvane/voicemod/VoicemodExtension.h>
#include <corvane/voicemod/VoicemodNode.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "Fixture.h"

using corvane::LogLevel;
using corvane::extensions::voicemod::VoicemodError;
using corvane::extensions::voicemod::VoicemodExtension;
using corvane::extensions::voicemod::VoicemodNode;

namespace {

// One control: how to call it, the one voice-changer function it must reach
// with which arguments, what it answers on success and its failure message.
struct Control {
    const char* name;
    std::function<std::string(VoicemodNode&)> call;  // returns the result as text
    const char* function;
    std::vector<std::string> strings;
    std::vector<double> numbers;
    std::string successResult;
    const char* failureMessage;  // logged exactly
    std::string failureDetail;   // what() adds after it: the argument and the voice changer's words
};

std::vector<Control> controls() {
    auto text = [](bool b) { return std::string(b ? "true" : "false"); };
    return {
        {"loadVoice", [=](VoicemodNode& n) { return text(n.loadVoice("Deep Voice")); }, "vcmdLoadVoice",
         {"Deep Voice"}, {0, 0}, "true", "Could not load voice.", " \"Deep Voice\": "},
        {"getCurrentVoice", [](VoicemodNode& n) { return n.getCurrentVoice(); }, "vcmdGetCurrentVoice", {}, {100},
         "Robot", "Could not get current voice name.", " Voice changer: "},
        {"getBypassEnabled", [=](VoicemodNode& n) { return text(n.getBypassEnabled()); }, "vcmdGetBypass", {}, {},
         "false", "Could not get voicemod bypass.", " Voice changer: "},
        {"setBypassEnabled", [](VoicemodNode& n) { n.setBypassEnabled(true); return std::string(); },
         "vcmdSetBypass", {}, {1}, "", "Could not set voicemod bypass.", " (on): "},
        {"getMuteEnabled", [=](VoicemodNode& n) { return text(n.getMuteEnabled()); }, "vcmdGetMute", {}, {},
         "false", "Could not get voicemod mute.", " Voice changer: "},
        {"setMuteEnabled", [](VoicemodNode& n) { n.setMuteEnabled(false); return std::string(); }, "vcmdSetMute",
         {}, {0}, "", "Could not set voicemod mute.", " (off): "},
        {"getOfflineModeEnabled", [=](VoicemodNode& n) { return text(n.getOfflineModeEnabled()); },
         "vcmdIsOfflineModeEnabled", {}, {}, "false", "Could not get voicemod offline mode.", " Voice changer: "},
        {"setOfflineModeEnabled", [](VoicemodNode& n) { n.setOfflineModeEnabled(true); return std::string(); },
         "vcmdEnableOfflineMode", {}, {1}, "", "Could not set voicemod offline mode.", " (on): "},
        {"getBackgroundSoundsEnabled", [=](VoicemodNode& n) { return text(n.getBackgroundSoundsEnabled()); },
         "vcmdIsBackgroundSoundsEnabled", {}, {}, "false", "Could not get voicemod background sound.", " Voice changer: "},
        {"setBackgroundSoundsEnabled",
         [](VoicemodNode& n) { n.setBackgroundSoundsEnabled(true); return std::string(); },
         "vcmdEnableBackgroundSounds", {}, {1}, "", "Could not set voicemod background sound.", " (on): "},
        {"getParameter", [](VoicemodNode& n) { return std::to_string(n.getParameter("pitch")); },
         "vcmdGetParameter", {"pitch"}, {}, std::to_string(0.25f), "Could not get voicemod parameter.", " \"pitch\": "},
        {"setParameter", [](VoicemodNode& n) { n.setParameter("mix", 0.75f); return std::string(); },
         "vcmdSetParameter", {"mix"}, {0.75}, "", "Could not set voicemod parameter.", " \"mix\" = 0.75: "},
    };
}

}  // namespace

using NodeControls = LibraryTest;

TEST_F(NodeControls, EachMakesItsOneCallAndAnswersWithTheSdksValue) {
    for (const Control& control : controls()) {
        SCOPED_TRACE(control.name);
        recording::reset();
        recording::script().currentVoice = "Robot";
        recording::script().floatValue = 0.25f;
        VoicemodNode node;

        EXPECT_EQ(control.call(node), control.successResult);

        ASSERT_EQ(recording::callNames(), std::vector<std::string>{control.function});
        const auto& call = recording::calls()[0];
        EXPECT_EQ(call.strings, control.strings);
        EXPECT_EQ(call.numbers, control.numbers);
        EXPECT_TRUE(log->lines().empty());
    }
}

TEST_F(NodeControls, AFailureLogsItsMessageThrowsTheCodeAndLeaksNoOutValue) {
    std::int32_t code = -40;
    for (const Control& control : controls()) {
        SCOPED_TRACE(control.name);
        recording::reset();
        log->clear();
        recording::script().results[control.function] = --code;
        recording::script().descriptions = {{code, "what the voice changer says about " + std::to_string(code)}};
        VoicemodNode node;
        std::string answered = "<none>";
        try {
            answered = control.call(node);
            ADD_FAILURE() << "no exception";
        } catch (const VoicemodError& error) {
            EXPECT_EQ(error.code(), code);
            // The logged message, then the argument as given and the voice
            // changer's text for the code.
            EXPECT_EQ(std::string(error.what()), control.failureMessage + control.failureDetail +
                                                     "what the voice changer says about " + std::to_string(code));
        }
        EXPECT_EQ(answered, "<none>");  // the leaked out-value never reached us
        EXPECT_EQ(log->lines(), (std::vector<testsupport::LogLine>{{LogLevel::Error, control.failureMessage}}));
        // The one call, then only the question what its code means.
        EXPECT_EQ(recording::callNames(), (std::vector<std::string>{control.function, "vcmdGetResultDescription"}));
        EXPECT_EQ(recording::calls().back().numbers, std::vector<double>{double(code)});
    }
}

TEST_F(NodeControls, TheExceptionShowsTheArgumentExactlyAsGiven) {
    VoicemodNode node;
    recording::script().results["vcmdLoadVoice"] = -6;
    recording::script().results["vcmdSetParameter"] = -8;
    recording::script().results["vcmdGetParameter"] = -3;
    recording::script().descriptions = {{-6, "no voice"}, {-8, "out of range"}, {-3, "null"}};
    auto whatOf = [](const std::function<void()>& call) {
        try {
            call();
        } catch (const VoicemodError& error) {
            return std::string(error.what());
        }
        return std::string("<no exception>");
    };
    // Quotes, backslashes, control characters and an embedded NUL are
    // escaped; text beyond ASCII passes as it is.
    EXPECT_EQ(whatOf([&] { node.loadVoice(std::string("Nob\0dy \"q\" \\ \t\xc3\xa9", 16)); }),
              "Could not load voice. \"Nob\\0dy \\\"q\\\" \\\\ \\x09\xc3\xa9\": no voice");
    EXPECT_EQ(whatOf([&] { node.setParameter("Pitch", 99.0f); }),
              "Could not set voicemod parameter. \"Pitch\" = 99: out of range");
    EXPECT_EQ(whatOf([&] { node.setParameter("Pitch", -std::numeric_limits<float>::infinity()); }),
              "Could not set voicemod parameter. \"Pitch\" = -inf: out of range");
    EXPECT_EQ(whatOf([&] { node.getParameter(nullptr); }), "Could not get voicemod parameter. (null): null");
    // The log keeps the fixed messages.
    EXPECT_EQ(log->messages(LogLevel::Error),
              (std::vector<std::string>{"Could not load voice.", "Could not set voicemod parameter.",
                                        "Could not set voicemod parameter.", "Could not get voicemod parameter."}));
}

TEST_F(NodeControls, GettersReportTrueWhenTheSdkSaysSo) {
    recording::script().boolValue = true;
    VoicemodNode node;
    EXPECT_TRUE(node.getBypassEnabled());
    EXPECT_TRUE(node.getMuteEnabled());
    EXPECT_TRUE(node.getOfflineModeEnabled());
    EXPECT_TRUE(node.getBackgroundSoundsEnabled());
    // Each getter hands over a bool preset to false.
    for (const auto& call : recording::calls()) EXPECT_NE(call.pointers.at(0), nullptr);
}

TEST_F(NodeControls, TheCurrentVoiceIsReadWithinItsHundredByteBuffer) {
    VoicemodNode node;
    recording::script().currentVoice = std::string(99, 'q');
    EXPECT_EQ(node.getCurrentVoice(), std::string(99, 'q'));

    recording::script().currentVoice = "";
    EXPECT_EQ(node.getCurrentVoice(), "");

    // A buffer filled to the end with no NUL yields its 100 bytes, no more,
    // and the length written back is not trusted.
    recording::script().currentVoiceWithoutNul = true;
    recording::script().currentVoiceLengthWritten = 5000;
    EXPECT_EQ(node.getCurrentVoice(), std::string(100, 'v'));
    for (const auto& call : recording::calls()) EXPECT_EQ(call.numbers.at(0), 100);  // length preset to 100
}

TEST_F(NodeControls, ParameterNamesPassUnchecked) {
    VoicemodNode node;
    node.setParameter("", 1.0f);
    node.setParameter("no such parameter", -3.5f);
    EXPECT_EQ(recording::calls()[0].strings.at(0), "");
    EXPECT_EQ(recording::calls()[1].strings.at(0), "no such parameter");
    EXPECT_EQ(recording::calls()[1].numbers.at(0), -3.5);
}

TEST_F(NodeControls, SwitchAndParameterControlsAllocateNothingOnSuccess) {
    VoicemodNode node;
    recording::script().recordCalls = false;
    allocation::Counts counts;
    {
        allocation::Counting counting;
        node.setBypassEnabled(true);
        node.getBypassEnabled();
        node.setMuteEnabled(true);
        node.getMuteEnabled();
        node.setOfflineModeEnabled(true);
        node.getOfflineModeEnabled();
        node.setBackgroundSoundsEnabled(true);
        node.getBackgroundSoundsEnabled();
        node.setParameter("pitch", 2.0f);
        node.getParameter("pitch");
        counts = counting.counts();
    }
    EXPECT_EQ(counts.news, 0u);
    EXPECT_EQ(counts.mallocs, 0u);
}

// The audio thread's setter: the voice changer's code comes back, and a
// refusal, made every block by a host automating a parameter the voice
// lacks, neither logs, throws nor allocates.
TEST_F(NodeControls, TrySetParameterReturnsTheCodeAndNeverLogsThrowsOrAllocates) {
    VoicemodNode node;
    EXPECT_EQ(node.trySetParameter("pitch", 2.5f), 0);
    ASSERT_EQ(recording::callNames(), std::vector<std::string>{"vcmdSetParameter"});
    EXPECT_EQ(recording::calls()[0].strings.at(0), "pitch");
    EXPECT_EQ(recording::calls()[0].numbers.at(0), 2.5);

    recording::script().results["vcmdSetParameter"] = -7;
    recording::script().recordCalls = false;
    allocation::Counts counts;
    std::int32_t code = 0;
    {
        allocation::Counting counting;
        for (int block = 0; block < 10; ++block) code = node.trySetParameter("Tone", 1.0f);
        counts = counting.counts();
    }
    EXPECT_EQ(code, -7);
    EXPECT_EQ(counts.news + counts.mallocs, 0u);
    EXPECT_TRUE(log->lines().empty());
}

// The latency and parameter queries, with a voice changer that has them (the
// fake exports them and records them like every other call). The library
// finds them when the extension loads.
class NodeQueries : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        VoicemodExtension::load();
    }
};

TEST_F(NodeQueries, LatencyIsTheVoiceChangersAnswerAndCostsNothingOnSuccess) {
    VoicemodNode node;
    recording::script().latencyFrames = 1234;
    EXPECT_EQ(node.getLatencyFrames(), std::optional<std::uint32_t>(1234));
    EXPECT_EQ(recording::callNames(), std::vector<std::string>{"vcmdGetLatencyFrames"});

    recording::script().recordCalls = false;
    allocation::Counts counts;
    {
        allocation::Counting counting;
        node.getLatencyFrames();
        counts = counting.counts();
    }
    EXPECT_EQ(counts.news + counts.mallocs, 0u);

    recording::reset();
    recording::script().results["vcmdGetLatencyFrames"] = -1;
    recording::script().descriptions = {{-1, "not started"}};
    try {
        node.getLatencyFrames();
        ADD_FAILURE() << "no exception";
    } catch (const VoicemodError& error) {
        EXPECT_EQ(error.code(), -1);
        EXPECT_STREQ(error.what(), "Could not get voicemod latency. Voice changer: not started");
    }
    EXPECT_EQ(log->messages(LogLevel::Error), std::vector<std::string>{"Could not get voicemod latency."});
}

TEST_F(NodeQueries, ParameterInfoListsEveryParameterWhateverTheLengthOfItsTexts) {
    VoicemodNode node;
    const std::string longName(300, 'n'), longUnit(100, 'u');
    recording::script().parameters["Old Radio"] = {{"Static", -60, -20, -38, "dB"}, {longName, 0, 1, 0.5f, longUnit},
                                                  {"Plain", 2, 3, 2.5f, ""}};
    recording::script().parameters["Empty"] = {};
    const auto info = node.getParameterInfo("Old Radio");
    ASSERT_TRUE(info.has_value());
    ASSERT_EQ(info->size(), 3u);
    EXPECT_EQ((*info)[0].name, "Static");
    EXPECT_EQ((*info)[0].unit, "dB");
    EXPECT_EQ((*info)[0].minimum, -60.0f);
    EXPECT_EQ((*info)[0].maximum, -20.0f);
    EXPECT_EQ((*info)[0].defaultValue, -38.0f);
    // Too long for the first buffers: asked once more with the sizes told.
    EXPECT_EQ((*info)[1].name, longName);
    EXPECT_EQ((*info)[1].unit, longUnit);
    EXPECT_EQ((*info)[2].name, "Plain");
    EXPECT_EQ((*info)[2].unit, "");
    EXPECT_EQ(recording::countOf("vcmdGetVoiceParameter"), 4u);
    const auto retry = recording::calls()[3];
    EXPECT_EQ(retry.numbers, (std::vector<double>{1, 301, 101}));

    const auto none = node.getParameterInfo("Empty");
    ASSERT_TRUE(none.has_value()) << "a voice without parameters is known to have none";
    EXPECT_TRUE(none->empty());

    log->clear();
    try {
        node.getParameterInfo("Chipmonk");
        ADD_FAILURE() << "no exception";
    } catch (const VoicemodError& error) {
        EXPECT_EQ(error.code(), -6);
        EXPECT_STREQ(error.what(), "Could not get voicemod parameter list. \"Chipmonk\": code -6");
    }
    EXPECT_EQ(log->messages(LogLevel::Error), std::vector<std::string>{"Could not get voicemod parameter list."});
}
