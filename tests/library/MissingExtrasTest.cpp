// MissingExtrasTest.cpp - the library with a voice changer that lacks some
// of the bundled engine's extra functions: here the fake is built without
// the two parameter-list functions (as another voice changer might offer
// only the latency). The library looks the functions up when the extension
// loads; each query whose function is missing answers "not known" and calls
// nothing, the others work as ever.
#include <corvane/voicemod/VoicemodExtension.h>
#include <corvane/voicemod/VoicemodNode.h>

#include "Fixture.h"

using corvane::extensions::voicemod::VoicemodExtension;
using corvane::extensions::voicemod::VoicemodNode;

using MissingExtras = LibraryTest;

TEST_F(MissingExtras, EachQueryFollowsItsOwnFunctionOnceTheExtensionHasLoaded) {
    recording::script().latencyFrames = 480;
    recording::script().parameters["Robot"] = {{"Tone", 20, 200, 50, "Hz"}};
    VoicemodNode node;

    VoicemodExtension::load();
    EXPECT_FALSE(node.getParameterInfo("Robot").has_value());
    EXPECT_TRUE(recording::calls().empty()) << "a missing function is never reached";
    EXPECT_EQ(node.getLatencyFrames(), std::optional<std::uint32_t>(480));
    EXPECT_EQ(recording::callNames(), std::vector<std::string>{"vcmdGetLatencyFrames"});
    EXPECT_TRUE(log->lines().empty());

    // The rest of the node works as ever.
    recording::script().floatValue = 50.0f;
    EXPECT_EQ(node.getParameter("Tone"), 50.0f);
}
