#include <corvane/voicemod/VoicemodExtension.h>
#include <corvane/voicemod/VoicemodNodeFactory.h>

#include <corvane/CVAny.h>
#include <corvane/NodeFactory.h>

#include "Fixture.h"

using corvane::CVAnyMap;
using corvane::ExtensionManager;
using corvane::extensions::voicemod::VoicemodExtension;
using corvane::extensions::voicemod::VoicemodNodeFactory;

using Registration = LibraryTest;

TEST_F(Registration, LoadRegistersAFindableExtensionNamedVoicemod) {
    VoicemodExtension::load();

    auto& manager = ExtensionManager::getInstance();
    ASSERT_EQ(manager.getExtensions().size(), 1u);
    auto found = manager.findExtension("Voicemod");
    ASSERT_NE(found, nullptr);
    EXPECT_NE(dynamic_cast<VoicemodExtension*>(found.get()), nullptr);
    EXPECT_EQ(found->getName(), "Voicemod");
    // Registration touches no voice-changer function.
    EXPECT_TRUE(recording::calls().empty());
}

TEST_F(Registration, EveryLoadRegistersANewDistinctObject) {
    VoicemodExtension::load();
    VoicemodExtension::load();

    const auto extensions = ExtensionManager::getInstance().getExtensions();
    ASSERT_EQ(extensions.size(), 2u);
    EXPECT_NE(extensions[0].get(), extensions[1].get());
    // The host holds the only references: the library keeps none.
    EXPECT_EQ(extensions[0].use_count(), 2);  // the manager's and this copy
}

TEST_F(Registration, EachRequestGivesAFreshFactoryWithPrefixVoicemodThatMakesNoNodes) {
    VoicemodExtension extension;
    auto first = extension.getNodeFactory();
    auto second = extension.getNodeFactory();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(first.use_count(), 1);
    EXPECT_NE(dynamic_cast<VoicemodNodeFactory*>(first.get()), nullptr);

    // The overrides are private in the factory; the host calls them through
    // its base class.
    corvane::NodeFactory& factory = *first;
    EXPECT_EQ(factory.getNodeTypePrefix(), "Voicemod");
    EXPECT_TRUE(factory.getNodeTypes().empty());

    CVAnyMap config{{"voice", corvane::CVAny("Robot")}, {"channels", corvane::CVAny(2)}};
    for (const char* type : {"", "Voicemod", "Voicemod.Node", "anything"}) {
        EXPECT_EQ(factory.createNode(type, {}), nullptr) << type;
        EXPECT_EQ(factory.createNode(type, config), nullptr) << type;
    }
}

TEST_F(Registration, TheHostsOwnInitializeStaysInheritedAndTouchesNoVoiceChanger) {
    VoicemodExtension extension;
    corvane::Extension& asHost = extension;
    EXPECT_TRUE(asHost.initialize(CVAnyMap{}).isSuccess());
    EXPECT_TRUE(asHost.deinitialize().isSuccess());
    EXPECT_TRUE(recording::calls().empty());
}
