// VersionTest.cpp - the generated version header against the project's
// version as the build knows it.
#include <gtest/gtest.h>

#include <corvane/voicemod/Version.h>

#include <string>

TEST(Version, TheHeaderCarriesTheProjectsVersion) {
    using namespace corvane::extensions::voicemod;
    EXPECT_STREQ(CORVANE_VOICEMOD_VERSION_STRING, CORVANE_VOICEMOD_PROJECT_VERSION);
    EXPECT_EQ(std::string(kVersionString), std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
                                               std::to_string(kVersionPatch));
    EXPECT_EQ(CORVANE_VOICEMOD_VERSION_NUMBER, kVersionMajor * 10000 + kVersionMinor * 100 + kVersionPatch);
}
