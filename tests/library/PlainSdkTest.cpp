// PlainSdkTest.cpp - the library built against a voice changer without the
// bundled engine's extra queries (as against the vendor SDK): the latency and
// parameter queries answer "not known" and never reach the voice changer,
// even though the fake it is linked with would answer them.
#include <corvane/voicemod/VoicemodNode.h>

#include "Fixture.h"

using corvane::extensions::voicemod::VoicemodNode;

using PlainSdk = LibraryTest;

TEST_F(PlainSdk, LatencyAndParametersAreNotKnownAndAskNothing) {
    recording::script().latencyFrames = 480;
    recording::script().parameters["Robot"] = {{"Tone", 20, 200, 50, "Hz"}};
    VoicemodNode node;
    EXPECT_FALSE(node.getLatencyFrames().has_value());
    EXPECT_FALSE(node.getParameterInfo("Robot").has_value());
    EXPECT_TRUE(recording::calls().empty());
    EXPECT_TRUE(log->lines().empty());
    // The rest of the node works as ever.
    recording::script().floatValue = 50.0f;
    EXPECT_EQ(node.getParameter("Tone"), 50.0f);
}
