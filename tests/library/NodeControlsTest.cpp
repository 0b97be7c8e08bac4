#include <corvane/voicemod/VoicemodNode.h>

#include <functional>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "Fixture.h"

using corvane::LogLevel;
using corvane::extensions::voicemod::VoicemodError;
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
    const char* failureMessage;
};

std::vector<Control> controls() {
    auto text = [](bool b) { return std::string(b ? "true" : "false"); };
    return {
        {"loadVoice", [=](VoicemodNode& n) { return text(n.loadVoice("Deep Voice")); }, "vcmdLoadVoice",
         {"Deep Voice"}, {0, 0}, "true", "Could not load voice."},
        {"getCurrentVoice", [](VoicemodNode& n) { return n.getCurrentVoice(); }, "vcmdGetCurrentVoice", {}, {100},
         "Robot", "Could not get current voice name."},
        {"getBypassEnabled", [=](VoicemodNode& n) { return text(n.getBypassEnabled()); }, "vcmdGetBypass", {}, {},
         "false", "Could not get voicemod bypass."},
        {"setBypassEnabled", [](VoicemodNode& n) { n.setBypassEnabled(true); return std::string(); },
         "vcmdSetBypass", {}, {1}, "", "Could not set voicemod bypass."},
        {"getMuteEnabled", [=](VoicemodNode& n) { return text(n.getMuteEnabled()); }, "vcmdGetMute", {}, {},
         "false", "Could not get voicemod mute."},
        {"setMuteEnabled", [](VoicemodNode& n) { n.setMuteEnabled(false); return std::string(); }, "vcmdSetMute",
         {}, {0}, "", "Could not set voicemod mute."},
        {"getOfflineModeEnabled", [=](VoicemodNode& n) { return text(n.getOfflineModeEnabled()); },
         "vcmdIsOfflineModeEnabled", {}, {}, "false", "Could not get voicemod offline mode."},
        {"setOfflineModeEnabled", [](VoicemodNode& n) { n.setOfflineModeEnabled(true); return std::string(); },
         "vcmdEnableOfflineMode", {}, {1}, "", "Could not set voicemod offline mode."},
        {"getBackgroundSoundsEnabled", [=](VoicemodNode& n) { return text(n.getBackgroundSoundsEnabled()); },
         "vcmdIsBackgroundSoundsEnabled", {}, {}, "false", "Could not get voicemod background sound."},
        {"setBackgroundSoundsEnabled",
         [](VoicemodNode& n) { n.setBackgroundSoundsEnabled(true); return std::string(); },
         "vcmdEnableBackgroundSounds", {}, {1}, "", "Could not set voicemod background sound."},
        {"getParameter", [](VoicemodNode& n) { return std::to_string(n.getParameter("pitch")); },
         "vcmdGetParameter", {"pitch"}, {}, std::to_string(0.25f), "Could not get voicemod parameter."},
        {"setParameter", [](VoicemodNode& n) { n.setParameter("mix", 0.75f); return std::string(); },
         "vcmdSetParameter", {"mix"}, {0.75}, "", "Could not set voicemod parameter."},
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
        VoicemodNode node;
        std::string answered = "<none>";
        try {
            answered = control.call(node);
            ADD_FAILURE() << "no exception";
        } catch (const VoicemodError& error) {
            EXPECT_EQ(error.code(), code);
            EXPECT_STREQ(error.what(), control.failureMessage);
        }
        EXPECT_EQ(answered, "<none>");  // the leaked out-value never reached us
        EXPECT_EQ(log->lines(), (std::vector<testsupport::LogLine>{{LogLevel::Error, control.failureMessage}}));
        EXPECT_EQ(recording::calls().size(), 1u);
    }
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
