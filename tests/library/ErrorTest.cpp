#include <gtest/gtest.h>

#include <corvane/voicemod/VoicemodError.h>

#include <stdexcept>

using corvane::extensions::voicemod::VoicemodError;

TEST(VoicemodError, CarriesTheLoggedMessageAndTheResultCode) {
    const VoicemodError error("Could not load voice.", -6);
    EXPECT_STREQ(error.what(), "Could not load voice.");
    EXPECT_EQ(error.code(), -6);

    // Catchable as the standard error it derives from, code kept on copy.
    try {
        throw VoicemodError("Error on vcmdGetVoiceNames:boom", 42);
    } catch (const std::runtime_error& caught) {
        EXPECT_STREQ(caught.what(), "Error on vcmdGetVoiceNames:boom");
        const auto* typed = dynamic_cast<const VoicemodError*>(&caught);
        ASSERT_NE(typed, nullptr);
        const VoicemodError copy = *typed;
        EXPECT_EQ(copy.code(), 42);
    }
}
