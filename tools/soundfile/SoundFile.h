// SoundFile.h - audio files through libsndfile, as a graph source and sink.
//
// Samples travel as float, normalised to [-1, 1) by libsndfile. A file read
// and written back in the same 8-, 16- or 24-bit PCM or 32-bit float format
// gets exactly the same samples (the tests hold libsndfile to that); 32-bit
// PCM and 64-bit float keep their exact samples beside the graph (see
// ExactSamples). Writing clips rather than wraps.
#pragma once

#include <sndfile.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <corvane/AudioBuffer.h>
#include <corvane/AudioBusFormat.h>
#include <corvane/AudioGraph.h>
#include <corvane/Result.h>

#include "platform/OutputFile.h"
#include "soundfile/SoundFormat.h"

struct mpg123_handle_struct;  // <mpg123.h>

namespace corvane::tool {

// sf_open by path, for reading or writing a file outside the graph (the tests
// make and check their files with it): the wide path on Windows
// (sf_wchar_open), so names beyond ASCII work there too.
SNDFILE* openSoundFile(const std::filesystem::path& path, int mode, SF_INFO* info);

// --- Exact samples ----------------------------------------------------------

// The input's frames as the file holds them (as doubles, which carry 32-bit
// PCM and 64-bit float exactly), from the reader to the writer. The writer
// takes them in the order the reader gave them; the output's frame n is the
// input's frame n (delays are cut), so whatever sample the graph passed on
// unchanged (bypass, channels beyond the second) is written as it was read.
class ExactSamples {
public:
    explicit ExactSamples(std::uint32_t channels) : channels_(channels) {}
    std::uint32_t channels() const noexcept { return channels_; }
    void push(const double* interleaved, std::size_t frames);
    // The next frame, or nothing when none is kept.
    const double* next();

private:
    std::uint32_t channels_;
    std::vector<double> samples_;
    std::size_t head_ = 0;
};

// --- Reading ----------------------------------------------------------------

// Reads a whole file block by block. Opening failures throw ToolError
// "cannot read "<path>": <reason>"; a signal that sets `stop` while the open
// waits (a FIFO with no writer yet) throws the interrupted status. Before the
// file's frames it can give `leadingSilence` frames of zeros (to let the
// voice changer's switch ramps settle) and after them `trailingSilence` (to
// flush a voice's delay).
//
// MPEG audio (MP3) is decoded with libmpg123 directly where the build has it:
// to the end of its frames, whatever length a missing or wrong header would
// suggest, and without the decoder's own messages on standard error. A file
// that ends before the length its header gives, or whose decoder reports an
// error, fails (failed()): a shorter input is never taken for a whole one.
class SoundFileReader : public AudioSource {
public:
    explicit SoundFileReader(const std::filesystem::path& path, const std::atomic<bool>* stop = nullptr);
    ~SoundFileReader() override;

    // Closes the file now rather than at destruction. Windows replaces no
    // file that is still open, so a render closes its input before its
    // output takes the input's place (OUTPUT the same file as INPUT).
    void close() noexcept;
    SoundFileReader(const SoundFileReader&) = delete;
    SoundFileReader& operator=(const SoundFileReader&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }
    int format() const noexcept { return info_.format; }
    std::uint32_t sampleRate() const noexcept { return static_cast<std::uint32_t>(info_.samplerate); }
    std::uint32_t channels() const noexcept { return static_cast<std::uint32_t>(info_.channels); }
    std::uint64_t frames() const noexcept { return static_cast<std::uint64_t>(info_.frames); }

    void setLeadingSilence(std::uint64_t frames) noexcept { leadingSilence_ = frames; }
    void setTrailingSilence(std::uint64_t frames) noexcept { trailingSilence_ = frames; }
    // Reads as doubles and keeps each file frame in `exact` (not owned).
    void keepExactSamples(ExactSamples* exact) noexcept { exact_ = exact; }

    AudioBusFormat getFormat() const override;
    Result<void> prepare(const AudioBusFormat& format) override;
    std::uint32_t read(AudioBuffer<float>& block) override;

    // Set when a read failed before the end of the file: the reason.
    bool failed() const noexcept { return failed_; }
    std::string failure() const;

private:
    // Up to `count` frames into interleaved_ (or exactBlock_); fewer at the
    // end or on an error (failed_ and failure_ then set).
    std::uint32_t readFrames(std::uint32_t count);
    void openMpeg(const std::string& what);

    std::filesystem::path path_;
    int descriptor_ = -1;
    SF_INFO info_{};
    SNDFILE* file_ = nullptr;
    mpg123_handle_struct* mpeg_ = nullptr;  // MPEG audio, instead of file_
    std::uint64_t framesRead_ = 0;          // of the file's own frames
    std::string failure_;                   // the reason, when the tool words it
    std::vector<float> interleaved_;
    std::vector<double> exactBlock_;
    ExactSamples* exact_ = nullptr;
    std::uint64_t leadingSilence_ = 0;
    std::uint64_t trailingSilence_ = 0;
    bool ended_ = false;
    bool failed_ = false;
};

// --- Writing ----------------------------------------------------------------

// Writes the output without ever putting a half-made file under its name:
// where the bytes go (a temporary file renamed over the target, a file
// rewritten in place, a device or FIFO written directly, a pipe given the
// finished file, standard output) is OutputFile's (platform/OutputFile.h).
//
// Every byte libsndfile writes goes through this writer (libsndfile's
// virtual I/O on the descriptor), so a write that fails, in whatever encoder
// and also in the last frames an encoder writes as it is closed, fails the
// render with the system's reason ("No space left on device") before
// anything is renamed or copied: an output that could not be written whole
// is never committed.
//
// The file is opened when the graph is configured. It can drop the first
// `leadingSkip` frames it is given (a voice's delay).
class SoundFileWriter : public AudioSink {
public:
    SoundFileWriter(std::filesystem::path target, int format, const std::atomic<bool>* stop = nullptr);
    ~SoundFileWriter() override;
    SoundFileWriter(const SoundFileWriter&) = delete;
    SoundFileWriter& operator=(const SoundFileWriter&) = delete;

    const std::filesystem::path& target() const noexcept { return output_.target(); }
    // The temporary file while one is open; empty when writing directly.
    const std::filesystem::path& temporaryPath() const noexcept { return output_.temporaryPath(); }
    bool writesDirectly() const noexcept { return output_.writesDirectly(); }
    int format() const noexcept { return format_; }
    std::uint64_t framesWritten() const noexcept { return written_; }

    void setLeadingSkip(std::uint64_t frames) noexcept { skip_ = frames; }
    // Writes a kept input sample wherever the graph's sample is that sample
    // as a float (`exact` not owned; see ExactSamples).
    void useExactSamples(ExactSamples* exact) noexcept { exact_ = exact; }

    // Opens the output; an Error "cannot write "<target>": <reason>" when
    // the format does not fit, the target may not be written or replaced,
    // or the file cannot be made. Called again with the same stream format,
    // it keeps the file it has.
    Result<void> prepare(const AudioBusFormat& format) override;
    bool write(const AudioBuffer<float>& block) override;

    // Closes the file and renames it to the target. Throws ToolError (and
    // removes the temporary file) when that fails.
    void commit();

    // The reason the last write failed.
    std::string failure() const;
    // True when the target is rewritten in place (its folder cannot be written).
    bool writesInPlace() const noexcept { return output_.writesInPlace(); }

private:
    struct Io;  // libsndfile's virtual I/O on the output's descriptor

    std::string name() const;  // "x.wav" quoted, or standard output
    // Why writing failed: the errno of the first failed write, else the
    // encoder's reason in the tool's words (`libraryError` a libsndfile
    // code, 0 for the open file's, negative for none).
    std::string reason(int libraryError) const;
    // libsndfile on the output's descriptor; `what` starts the message of a failure.
    Result<void> startFile(SF_INFO& info, const std::string& what);
    void discard() noexcept;

    OutputFile output_;
    int format_;
    int writeError_ = 0;  // errno of the first write that failed
    SNDFILE* file_ = nullptr;
    SF_INFO info_{};
    std::vector<float> interleaved_;
    std::vector<double> exactBlock_;
    ExactSamples* exact_ = nullptr;
    std::uint64_t skip_ = 0;
    std::uint64_t written_ = 0;
    bool committed_ = false;
};

}  // namespace corvane::tool
