#include "corvane/voicemod/VoicemodExtension.h"

#include <VoicemodUSDK.h>

#include <corvane/CVAny.h>
#include <corvane/Corvane.h>
#include <corvane/ExtensionManager.h>
#include <corvane/Logger.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <stdexcept>

#include "Failure.h"
#include "SdkExtras.h"
#include "corvane/voicemod/VoicemodNodeFactory.h"

namespace corvane::extensions::voicemod {
namespace {

// Result code that vcmdInitSDK gives when the SDK is already running.
constexpr std::int32_t kAlreadyStarted = -94;
// Bytes offered to the voice changer per name, NUL included.
constexpr std::uint32_t kNameBufferSize = 255;
// Selects every mounted voice, in both catalogue calls.
constexpr std::uint32_t kAllVoices = 1;

using detail::describe;
using detail::fail;
using detail::failWith;
using detail::inQuotes;

void requireArgument(const char* value, const char* name) {
    if (value == nullptr)
        throw std::invalid_argument(std::string("VoicemodExtension::initialize: argument '") + name +
                                    "' must not be null");
}

// The C-heap name buffers of one listVoices() call: the pointer array and one
// buffer per voice. Gives back whatever it still holds when it goes away, so
// no exit path can leak a block.
class NameBuffers {
public:
    explicit NameBuffers(std::uint32_t count) : count_(count) {
        // One slot at least, so the array handed on is never null.
        names_ = static_cast<char**>(std::malloc(sizeof(char*) * (count > 0 ? count : 1)));
        if (names_ == nullptr) return;
        for (std::uint32_t i = 0; i < count; ++i) names_[i] = nullptr;
        for (std::uint32_t i = 0; i < count; ++i) {
            names_[i] = static_cast<char*>(std::malloc(kNameBufferSize));
            if (names_[i] == nullptr) {
                release();
                return;
            }
        }
    }

    ~NameBuffers() { release(); }
    NameBuffers(const NameBuffers&) = delete;
    NameBuffers& operator=(const NameBuffers&) = delete;

    bool ok() const noexcept { return names_ != nullptr; }
    char** data() const noexcept { return names_; }

    // The name in buffer `index`, up to its first NUL or the buffer's end.
    std::string name(std::uint32_t index) const {
        const char* text = names_[index];
        return std::string(text, strnlen(text, kNameBufferSize));
    }

    void freeOne(std::uint32_t index) noexcept {
        std::free(names_[index]);
        names_[index] = nullptr;
    }

    void release() noexcept {
        if (names_ == nullptr) return;
        for (std::uint32_t i = 0; i < count_; ++i) std::free(names_[i]);
        std::free(names_);
        names_ = nullptr;
    }

private:
    std::uint32_t count_;
    char** names_ = nullptr;
};

// Paths are UTF-8 text on both sides; u8path/u8string convert explicitly, so
// on Windows a name beyond ASCII never passes through the ANSI code page.
void mountPackages(const char* contentDirectory) {
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(contentDirectory))) {
        const std::filesystem::path& filepath = entry.path();
        // is_regular_file() follows links; a dangling one is not a file.
        if (!entry.is_regular_file() || filepath.extension().string() != ".zvmd") continue;
        std::int32_t packageId = -1;
        const std::int32_t code = vcmdMountPackage(filepath.u8string().c_str(), 0, 0, 0, &packageId);
        // The logged line carries the voice changer's text already; the
        // exception adds the file, which a vendor's text may leave out.
        if (code != 0)
            fail("Error on vcmdMountPackage:" + describe(code), " (package " + inQuotes(filepath.u8string()) + ")",
                 code);
    }
}

}  // namespace

VoicemodExtension::VoicemodExtension() = default;
VoicemodExtension::~VoicemodExtension() = default;

void VoicemodExtension::load() {
    // The voice changer's optional functions are looked up here, once, on
    // the application's thread: the lookup takes the dynamic loader's lock,
    // which the node's latency query must never wait for.
    detail::findSdkExtras();
    ExtensionManager& manager = ExtensionManager::getInstance();
    std::shared_ptr<VoicemodExtension> extension = std::make_shared<VoicemodExtension>();
    manager.registerExtension(std::shared_ptr<Extension>(std::move(extension)));
}

std::string VoicemodExtension::getName() { return "Voicemod"; }

std::shared_ptr<NodeFactory> VoicemodExtension::getNodeFactory() { return std::make_shared<VoicemodNodeFactory>(); }

void VoicemodExtension::initialize(const char* first, const char* second, const char* contentDirectory) {
    requireArgument(first, "first");
    requireArgument(second, "second");
    requireArgument(contentDirectory, "contentDirectory");

    Logger::debug("Initialized Corvane Extension -- Voicemod --");

    std::int32_t code = vcmdInitSDK(second, first, "1.0");
    if (code != 0 && code != kAlreadyStarted) failWith("Could not initialize Voicemod extension", code);

    const char* version = vcmdGetVersionString();
    Logger::info(std::string("Voicemod SDK Version: ") + (version != nullptr ? version : ""));

    Result<CVAny> tempPathResult = Corvane::getValue("corvane", "tempDirPath");
    if (tempPathResult.isError())
        throw std::runtime_error(
            "VoicemodExtension initialization failed: could not get temporary directory path from Corvane SDK");
    const std::string tempPath = CVAny::convert<std::string>(tempPathResult.value());

    code = vcmdSetTempPath(tempPath.c_str());
    if (code != 0) failWith("Could not set Voicemod temp path", code, inQuotes(tempPath));

    code = vcmdSetContentPath(contentDirectory);
    if (code != 0) failWith("Could not set Voicemod content path", code, inQuotes(contentDirectory));

    mountPackages(contentDirectory);

    for (const std::string& voice : listVoices()) Logger::info("Available voicemod voice: " + voice);
}

std::vector<std::string> VoicemodExtension::listVoices() {
    std::uint32_t numberOfVoices = 0;
    std::int32_t code = vcmdGetNumberOfVoices(kAllVoices, &numberOfVoices);
    if (code != 0) fail("Error on vcmdGetNumberOfVoices:" + describe(code), "", code);

    NameBuffers buffers(numberOfVoices);
    if (!buffers.ok()) {
        Logger::error("Could not allocate memory for " + std::to_string(numberOfVoices) + " voice names.");
        throw std::bad_alloc();
    }

    code = vcmdGetVoiceNames(buffers.data(), numberOfVoices, kNameBufferSize, kAllVoices);
    if (code != 0) {
        std::string message = "Error on vcmdGetVoiceNames:" + describe(code);
        buffers.release();
        fail(message, "", code);
    }

    std::vector<std::string> voices(numberOfVoices);
    for (std::uint32_t i = 0; i < numberOfVoices; ++i) {
        voices[i] = buffers.name(i);
        buffers.freeOne(i);
    }
    buffers.release();
    return voices;
}

}  // namespace corvane::extensions::voicemod
