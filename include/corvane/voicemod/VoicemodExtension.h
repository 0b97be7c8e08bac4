// VoicemodExtension.h - registration, bring-up and the voice list.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <corvane/Extension.h>
#include <corvane/NodeFactory.h>

#include "corvane/voicemod/Export.h"
#include "corvane/voicemod/VoicemodError.h"

namespace corvane::extensions::voicemod {

// The host extension named "Voicemod". It holds no state: every setting
// lives in the voice changer's single process-wide state.
//
// Failures: a failed voice-changer call is logged through Logger::error and
// ends the operation with VoicemodError (the message, what was wrong, and
// the result code; see VoicemodError.h). Host-side
// failures keep their own exceptions, as documented per operation.
class CORVANE_VOICEMOD_API VoicemodExtension : public Extension {
public:
    // [main-thread]; no allocation.
    VoicemodExtension();
    ~VoicemodExtension() override;

    // [main-thread] Registers a new extension object with the host's
    // ExtensionManager. Every call registers one more object. Allocates the
    // object; exceptions of the host pass through. It also looks up, by
    // name in the voice-changer library the process runs with, the optional
    // functions behind VoicemodNode::getLatencyFrames() and
    // getParameterInfo(); the library does not link them, so it starts with
    // any voice changer, and those queries answer std::nullopt until load()
    // has run or when the voice changer lacks them. The lookup takes the
    // dynamic loader's lock.
    static void load();

    // [main-thread] Brings the voice changer up for the whole process:
    //  1. logs "Initialized Corvane Extension -- Voicemod --" (debug);
    //  2. vcmdInitSDK(second, first, "1.0"); 0 and -94 count as started;
    //  3. logs "Voicemod SDK Version: <version>" (info);
    //  4. reads the host value "tempDirPath" of object "corvane";
    //  5. vcmdSetTempPath(that path); 6. vcmdSetContentPath(contentDirectory);
    //  7. mounts every regular file (links by target) directly in
    //     contentDirectory whose extension is exactly ".zvmd", in listing
    //     order, by the path contentDirectory joined with the file name;
    //  8. logs "Available voicemod voice: <name>" (info) for each voice.
    // contentDirectory and every path handed to the voice changer are UTF-8
    // text on every platform (on Windows never the ANSI code page).
    // Cases that succeed without a word:
    //  - A directory without ".zvmd" files (or with none that is a regular
    //    file directly in it) brings up no voices: listVoices() is empty (or
    //    holds what was mounted before) and every loadVoice() fails.
    //  - A second call, with the same or another directory, keeps the voice
    //    changer that is already up (it answers -94, which counts as
    //    started): its voices stay mounted and its current voice, switches
    //    and sample rate stay as they are; the paths are set again and the
    //    new directory's packages are mounted beside the old ones. With the
    //    bundled engine a voice name mounted twice keeps its first package.
    //    Nothing is ever unmounted.
    // Throws std::invalid_argument for a null argument (before anything else),
    // std::runtime_error when the host has no temporary directory,
    // CVAnyTypeError when it is not text, std::filesystem::filesystem_error
    // when the directory cannot be listed, VoicemodError when a voice-changer
    // call fails (packages mounted before it stay mounted), and what
    // listVoices() throws. Blocks on file I/O; allocates.
    static void initialize(const char* first, const char* second, const char* contentDirectory);

    // [main-thread] The names of the voices the voice changer offers, in its
    // order, duplicates kept. Takes count + 1 blocks from the C heap for the
    // name buffers and gives them all back before returning. Throws
    // VoicemodError when a voice-changer call fails and std::bad_alloc when
    // the buffers cannot be had (everything taken is given back first).
    static std::vector<std::string> listVoices();

    // [any-thread] Always "Voicemod".
    std::string getName() override;

    // [any-thread] A newly made VoicemodNodeFactory on every call.
    std::shared_ptr<NodeFactory> getNodeFactory() override;
};

}  // namespace corvane::extensions::voicemod
