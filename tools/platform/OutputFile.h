// OutputFile.h - where an output's bytes go, without ever putting a
// half-made file under its name: the placement rules of the sound-file
// writer (SoundFileWriter), which holds the audio and writes through
// descriptor().
//
// A regular file (or none yet) is written as a temporary ".cvm-XXXXXX" in
// the same folder, which commit() renames over it; until then it is
// untouched, and one destroyed without commit() removes its temporary file.
// A symbolic link is followed: the file it points to is replaced, in its own
// folder. The new file takes the mode (and, for root, the owner) of the file
// it replaces, or 0666 less the umask; a file the user may not write is
// refused, as cp refuses it.
//
// A file the user may write in a folder the user may not write is written
// in place instead, as cp does (not on Windows): the output is made in a
// temporary file in the system's temporary folder and copied into the file
// at commit(), so a failed render leaves it as it was; should the copy
// itself fail, the message says the file is incomplete.
//
// "-" is standard output (a format whose header is written last is refused
// unless standard output is a file).
//
// A device or FIFO is never replaced: it is opened and written directly
// when the format can be streamed to it (any format to a device that can
// seek, such as /dev/null), else refused before it is opened. A socket is
// refused. Opening a FIFO waits for its reader; a signal that sets `stop`
// ends the wait.
//
// What cannot seek (a pipe, a FIFO, a terminal) gets the whole file at
// commit(), made first in a temporary file in the system's temporary folder
// (removed from its folder as soon as it is made): encoders go back to
// their headers when they finish, which a stream cannot take, so what a
// pipe gets is the same file a regular file gets. (Not on Windows, whose
// libsndfile has none of those encoders: there it is written directly.)
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

#include <corvane/Result.h>

namespace corvane::tool {

class OutputFile {
public:
    OutputFile(std::filesystem::path target, const std::atomic<bool>* stop);
    ~OutputFile();  // without commit(): discard()
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::filesystem::path& target() const noexcept { return target_; }
    // "x.wav" quoted, or standard output.
    std::string name() const;

    // Opens where the bytes go: an Error "cannot write "<target>": <reason>"
    // when the target may not be written or replaced or the file cannot be
    // made. `format` names the encoding in messages; `streams` says whether
    // it can be written front to back (its header not written last).
    Result<void> open(const std::string& format, bool streams);

    // Where the bytes go while open; -1 when not.
    int descriptor() const noexcept { return descriptor_; }
    // Where the file starts on descriptor() (standard output appended to).
    std::int64_t origin() const noexcept { return origin_; }
    // The temporary file while one is open; empty when writing directly.
    const std::filesystem::path& temporaryPath() const noexcept { return temporary_; }
    bool writesDirectly() const noexcept { return direct_; }
    // The target is rewritten in place (its folder cannot be written).
    bool writesInPlace() const noexcept { return inPlace_; }
    // A pipe, FIFO or terminal gets the file at commit(): descriptor() is a
    // temporary file.
    bool spooled() const noexcept { return stream_ >= 0; }

    // Closes the file and puts it in place: renamed over the target, copied
    // into it or onto the stream. Throws ToolError (and discards) when that
    // fails; with kExitInterrupted when a signal ended the copy.
    void commit();
    // Closes everything and removes the temporary file.
    void discard() noexcept;

private:
    // descriptor_ (the target, which cannot seek) becomes stream_, and the
    // file is made in a temporary file instead.
    Result<void> spool(const std::string& what);
    // The finished temporary file's bytes into the target written in place,
    // or into stream_; closes and removes the temporary file.
    void copyOut(const std::string& what);
    Result<void> opened();

    std::filesystem::path target_;
    std::filesystem::path destination_;  // the target with symbolic links followed
    std::filesystem::path temporary_;
    const std::atomic<bool>* stop_;
    int descriptor_ = -1;
    std::int64_t origin_ = 0;
    int stream_ = -1;  // the pipe, FIFO or terminal that gets the file at commit()
    bool direct_ = false;
    bool inPlace_ = false;
    bool committed_ = false;
};

}  // namespace corvane::tool
