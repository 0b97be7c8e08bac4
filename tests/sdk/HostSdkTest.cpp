#include <gtest/gtest.h>

#include <corvane/AudioBuffer.h>
#include <corvane/AudioBus.h>
#include <corvane/AudioBusFormat.h>
#include <corvane/CVAny.h>
#include <corvane/ExtensionManager.h>
#include <corvane/Extension.h>
#include <corvane/NodeFactory.h>
#include <corvane/Corvane.h>
#include <corvane/Logger.h>
#include <corvane/Result.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "LogCapture.h"

using namespace corvane;

TEST(HostResult, HoldsAValueOrAnErrorAndRefusesToInventAValue) {
    Result<int> ok(7);
    EXPECT_TRUE(ok.isSuccess());
    EXPECT_FALSE(ok.isError());
    EXPECT_EQ(ok.value(), 7);

    Result<int> failed(Error("nope"));
    EXPECT_TRUE(failed.isError());
    EXPECT_FALSE(failed.isSuccess());
    EXPECT_EQ(failed.error().getMessage(), "nope");
    try {
        failed.value();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Result does not contain a value, operation failed.");
    }

    EXPECT_TRUE(Result<void>().isSuccess());
    Result<void> voidFailed(Error("x"));
    EXPECT_TRUE(voidFailed.isError());
    EXPECT_THROW(voidFailed.value(), std::runtime_error);
}

TEST(HostCVAny, ConvertsTextAndRefusesOtherTypesClearly) {
    EXPECT_EQ(CVAny::convert<std::string>(CVAny("abc")), "abc");
    EXPECT_EQ(CVAny::convert<double>(CVAny(3)), 3.0);
    EXPECT_EQ(CVAny::convert<bool>(CVAny(true)), true);
    EXPECT_EQ(CVAny::convert<std::int64_t>(CVAny(std::int64_t{1} << 40)), std::int64_t{1} << 40);
    try {
        CVAny::convert<std::string>(CVAny(2.5));
        ADD_FAILURE() << "no exception";
    } catch (const CVAnyTypeError& e) {
        EXPECT_STREQ(e.what(), "CVAny: cannot convert a value of type double to text");
    }
    EXPECT_THROW(CVAny::convert<int>(CVAny()), CVAnyTypeError);
}

TEST(HostConfiguration, PublishesAnExistingTemporaryDirectoryAndLetsTestsRemoveIt) {
    Corvane::initialize();
    auto result = Corvane::getValue("corvane", "tempDirPath");
    ASSERT_TRUE(result.isSuccess());
    const std::string path = CVAny::convert<std::string>(result.value());
    EXPECT_TRUE(std::filesystem::is_directory(path));

    EXPECT_TRUE(Corvane::removeValue("corvane", "tempDirPath"));
    EXPECT_TRUE(Corvane::getValue("corvane", "tempDirPath").isError());
    Corvane::initialize();  // set up again: the same directory comes back
    EXPECT_EQ(CVAny::convert<std::string>(Corvane::getValue("corvane", "tempDirPath").value()), path);
    Corvane::shutdown();
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(HostLogger, DropsMessagesBelowTheMinimumLevel) {
    testsupport::LogCapture capture;
    Logger::setMinimumLevel(LogLevel::Info);
    Logger::debug("hidden");
    Logger::info("shown");
    Logger::error("also shown");
    Logger::setMinimumLevel(LogLevel::Off);
    Logger::error("silenced");
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_EQ(capture.lines()[0].message, "shown");
    EXPECT_EQ(capture.lines()[1].level, LogLevel::Error);
}

TEST(HostBusFormats, UnsetFieldsAdoptTheOtherSideAndConflictsChangeNothing) {
    AudioBusFormat in{48000, 0, 0}, out{0, 2, 256};
    EXPECT_TRUE(AudioBusFormat::matchBusFormats(in, out));
    EXPECT_EQ(in.numberOfChannels, 2u);
    EXPECT_EQ(in.framesPerBlock, 256u);
    EXPECT_EQ(out.sampleRate, 48000u);

    AudioBusFormat a{48000, 0, 0}, b{44100, 2, 0};
    EXPECT_FALSE(AudioBusFormat::matchBusFormats(a, b));
    EXPECT_EQ(a.numberOfChannels, 0u);  // not half-matched
    EXPECT_EQ(b.sampleRate, 44100u);
}

TEST(HostAudioBus, CopiesSharedChannelsAndFramesAndZeroesTheRest) {
    AudioBuffer<float> source(2, 4), target(3, 6);
    for (std::uint32_t c = 0; c < 2; ++c)
        for (std::uint32_t i = 0; i < 4; ++i) source.getWritePointer(c)[i] = float(10 * c + i + 1);
    for (std::uint32_t c = 0; c < 3; ++c)
        for (std::uint32_t i = 0; i < 6; ++i) target.getWritePointer(c)[i] = -1.0f;
    AudioBus from{&source}, to{&target};
    to.copyFrom(from);
    EXPECT_EQ(target.getReadPointer(1)[3], 14.0f);
    EXPECT_EQ(target.getReadPointer(0)[4], -1.0f);  // frames beyond the source untouched
    for (std::uint32_t i = 0; i < 6; ++i) EXPECT_EQ(target.getReadPointer(2)[i], 0.0f);

    // Wrapping the caller's storage and shortening the block never allocate
    // and never reach beyond the capacity.
    float left[8] = {}, right[8] = {};
    float* pointers[] = {left, right};
    AudioBuffer<float> wrapped(pointers, 2, 8);
    EXPECT_EQ(wrapped.getWritePointer(1), right);
    EXPECT_EQ(wrapped.getWritePointer(2), nullptr);
    EXPECT_TRUE(wrapped.setNumberOfFrames(3));
    EXPECT_FALSE(wrapped.setNumberOfFrames(9));
    EXPECT_EQ(wrapped.getNumberOfFrames(), 3u);
}

namespace {
class NamedExtension : public corvane::Extension {
public:
    explicit NamedExtension(std::string name) : name_(std::move(name)) {}
    std::string getName() override { return name_; }
    std::shared_ptr<corvane::NodeFactory> getNodeFactory() override { return nullptr; }

private:
    std::string name_;
};
}  // namespace

TEST(HostExtensionManager, KeepsEveryExtensionInOrderAndFindsTheFirstByName) {
    auto& manager = ExtensionManager::getInstance();
    manager.clear();
    auto a = std::make_shared<NamedExtension>("A");
    auto b1 = std::make_shared<NamedExtension>("B");
    auto b2 = std::make_shared<NamedExtension>("B");
    manager.registerExtension(a);
    manager.registerExtension(b1);
    manager.registerExtension(b2);
    manager.registerExtension(nullptr);

    {
        const auto all = manager.getExtensions();
        ASSERT_EQ(all.size(), 3u);
        EXPECT_EQ(all[2].get(), b2.get());
    }
    EXPECT_EQ(manager.findExtension("B").get(), b1.get());
    EXPECT_EQ(manager.findExtension("C"), nullptr);

    std::weak_ptr<NamedExtension> watch = a;
    a.reset();
    EXPECT_FALSE(watch.expired());  // the manager keeps it alive
    manager.clear();
    EXPECT_TRUE(watch.expired());
}

TEST(HostObjects, StoreValuesEmitChangesAndKnowNoActions) {
    NamedExtension object("x");
    std::vector<std::string> changed;
    object.on("valueChanged", [&](const CVAny& key) { changed.push_back(CVAny::convert<std::string>(key)); });

    EXPECT_TRUE(object.getValue("gain").isError());
    EXPECT_TRUE(object.setValue("gain", CVAny(0.5)).isSuccess());
    EXPECT_EQ(CVAny::convert<double>(object.getValue("gain").value()), 0.5);
    EXPECT_EQ(changed, std::vector<std::string>{"gain"});
    EXPECT_TRUE(object.callAction("anything", {}).isError());
    EXPECT_EQ(object.emit("nobody listens"), 0u);
}

// The test program runs itself again with only this test selected; in that
// child the test sets the host up, prints the directory and exits normally.
TEST(HostConfiguration, TheTemporaryDirectoryGoesAwayWhenTheProcessExits) {
    constexpr const char* kChild = "CORVANE_TEST_TEMPDIR_CHILD";
    constexpr const char* kMarker = "tempDirPath=";
    if (std::getenv(kChild) != nullptr) {
        Corvane::shutdown();
        Corvane::initialize();
        const std::string path = CVAny::convert<std::string>(Corvane::getValue("corvane", "tempDirPath").value());
        std::printf("\n%s%s\n", kMarker, path.c_str());
        std::fflush(stdout);
        std::exit(0);  // a normal exit, without shutdown()
    }
    const testsupport::ChildResult child = testsupport::runChild(
        testsupport::currentExecutable(),
        {"--gtest_filter=HostConfiguration.TheTemporaryDirectoryGoesAwayWhenTheProcessExits"},
        {{}, {std::string(kChild) + "=1"}, {}});
    ASSERT_EQ(child.status, 0) << child.out << child.err;
    const std::size_t at = child.out.find(kMarker);
    ASSERT_NE(at, std::string::npos) << child.out;
    const std::size_t begin = at + std::string(kMarker).size();
    std::string path = child.out.substr(begin, child.out.find('\n', begin) - begin);
    if (!path.empty() && path.back() == '\r') path.pop_back();
    EXPECT_NE(path.find("corvane-"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::u8path(path).parent_path()));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(path)));
}

#if !defined(_WIN32)
// A process that is killed cannot remove its directory; the next
// initialize() of the same user in the same folder does, and leaves alone
// the directory of a process that still runs (here: this one's own).
TEST(HostConfiguration, ADirectoryLeftByAKilledProcessGoesAtTheNextInitialize) {
    constexpr const char* kChild = "CORVANE_TEST_KILLED_CHILD";
    constexpr const char* kMarker = "tempDirPath=";
    if (std::getenv(kChild) != nullptr) {
        Corvane::shutdown();
        Corvane::initialize();
        const std::string path =
            CVAny::convert<std::string>(Corvane::getValue("corvane", "tempDirPath").value());
        std::printf("\n%s%s\n", kMarker, path.c_str());
        std::fflush(stdout);
        std::raise(SIGKILL);
    }
    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                         ("corvane-sdk-killed-" + std::to_string(testsupport::processId()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string tmpdir = "TMPDIR=" + folder.string();
    const auto leftBy = [&](const testsupport::ChildResult& child) {
        const std::size_t at = child.out.find(kMarker);
        if (at == std::string::npos) return std::filesystem::path();
        const std::size_t begin = at + std::string(kMarker).size();
        return std::filesystem::path(child.out.substr(begin, child.out.find('\n', begin) - begin));
    };
    const auto kill = [&] {
        return testsupport::runChild(
            testsupport::currentExecutable(),
            {"--gtest_filter=HostConfiguration.ADirectoryLeftByAKilledProcessGoesAtTheNextInitialize"},
            {{}, {std::string(kChild) + "=1", tmpdir}, {}});
    };
    const std::filesystem::path first = leftBy(kill());
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(std::filesystem::is_directory(first)) << "a killed process leaves its directory";

    // This process's own directory in the same folder, while it runs.
    const char* saved = std::getenv("TMPDIR");
    const std::string previous = saved != nullptr ? saved : "";
    ::setenv("TMPDIR", folder.c_str(), 1);
    Corvane::shutdown();
    Corvane::initialize();
    const std::string own = CVAny::convert<std::string>(Corvane::getValue("corvane", "tempDirPath").value());
    EXPECT_FALSE(std::filesystem::exists(first)) << "the next initialize() removes it";

    const std::filesystem::path second = leftBy(kill());  // a second child's initialize()
    EXPECT_TRUE(std::filesystem::is_directory(own)) << "a running process's directory stays";
    Corvane::shutdown();
    if (saved != nullptr)
        ::setenv("TMPDIR", previous.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
    EXPECT_FALSE(std::filesystem::exists(own));
    EXPECT_TRUE(std::filesystem::is_directory(second));
    std::filesystem::remove_all(folder);
}
#endif
