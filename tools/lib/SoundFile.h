// SoundFile.h - audio files through libsndfile, as a graph source and sink.
//
// Samples travel as float, normalised to [-1, 1) by libsndfile. A file read
// and written back in the same integer format gets exactly the same samples
// (the tests hold libsndfile to that); writing clips rather than wraps.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <corvane/AudioBuffer.h>
#include <corvane/AudioBusFormat.h>
#include <corvane/AudioGraph.h>
#include <corvane/Result.h>

namespace corvane::tool {

// --- Formats (libsndfile SF_FORMAT_* values) ------------------------------

// "wav", "flac" or "ogg" (any case) as a container; 0 for anything else.
int containerForName(const std::string& name);
// The container an output file name asks for by its extension (.wav,
// .flac, .ogg, .oga); 0 when the extension says nothing.
int containerForPath(const std::filesystem::path& path);

// The full format (container | subtype) an output gets when the input has
// `inputFormat`: the input's container unless `container` (non-zero) says
// otherwise, and the input's subtype whenever the container can hold it.
// When it cannot: FLAC takes 24-bit PCM for inputs finer than 16 bits and
// 16-bit otherwise, WAV 16-bit PCM (float for float inputs), Ogg Vorbis.
int chooseOutputFormat(int inputFormat, int container);

// "WAV 16-bit PCM", "FLAC 24-bit", "Ogg Vorbis"... for people.
std::string describeFormat(int format);

// --- Reading ----------------------------------------------------------------

// Reads a whole file block by block. Opening failures throw ToolError
// "cannot read "<path>": <libsndfile's reason>". Before the file's frames it
// can give `leadingSilence` frames of zeros (to let the voice changer's
// switch ramps settle) and after them `trailingSilence` (to flush a voice's
// delay).
class SoundFileReader : public AudioSource {
public:
    explicit SoundFileReader(const std::filesystem::path& path);
    ~SoundFileReader() override;
    SoundFileReader(const SoundFileReader&) = delete;
    SoundFileReader& operator=(const SoundFileReader&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }
    int format() const noexcept { return info_.format; }
    std::uint32_t sampleRate() const noexcept { return static_cast<std::uint32_t>(info_.samplerate); }
    std::uint32_t channels() const noexcept { return static_cast<std::uint32_t>(info_.channels); }
    std::uint64_t frames() const noexcept { return static_cast<std::uint64_t>(info_.frames); }

    void setLeadingSilence(std::uint64_t frames) noexcept { leadingSilence_ = frames; }
    void setTrailingSilence(std::uint64_t frames) noexcept { trailingSilence_ = frames; }

    AudioBusFormat getFormat() const override;
    Result<void> prepare(const AudioBusFormat& format) override;
    std::uint32_t read(AudioBuffer<float>& block) override;

    // Set when a read failed before the end of the file: the reason.
    bool failed() const noexcept { return failed_; }
    std::string failure() const;

private:
    std::filesystem::path path_;
    SF_INFO info_{};
    SNDFILE* file_ = nullptr;
    std::vector<float> interleaved_;
    std::uint64_t leadingSilence_ = 0;
    std::uint64_t trailingSilence_ = 0;
    bool ended_ = false;
    bool failed_ = false;
};

// --- Writing ----------------------------------------------------------------

// Writes to a temporary file beside `target`, opened when the graph is
// configured; commit() gives it the target's name. Until then the target is
// untouched, and a writer destroyed without commit() removes its temporary
// file, so a failed render leaves nothing behind. It can drop the first
// `leadingSkip` frames it is given (a voice's delay).
class SoundFileWriter : public AudioSink {
public:
    SoundFileWriter(std::filesystem::path target, int format);
    ~SoundFileWriter() override;
    SoundFileWriter(const SoundFileWriter&) = delete;
    SoundFileWriter& operator=(const SoundFileWriter&) = delete;

    const std::filesystem::path& target() const noexcept { return target_; }
    const std::filesystem::path& temporaryPath() const noexcept { return temporary_; }
    int format() const noexcept { return format_; }
    std::uint64_t framesWritten() const noexcept { return written_; }

    void setLeadingSkip(std::uint64_t frames) noexcept { skip_ = frames; }

    // Opens the temporary file; an Error "cannot write "<target>": <reason>"
    // when the format does not fit or the file cannot be made.
    Result<void> prepare(const AudioBusFormat& format) override;
    bool write(const AudioBuffer<float>& block) override;

    // Closes the file and renames it to the target. Throws ToolError (and
    // removes the temporary file) when that fails.
    void commit();

    // The reason the last write failed.
    std::string failure() const;

private:
    void discard() noexcept;

    std::filesystem::path target_;
    std::filesystem::path temporary_;
    int format_;
    SNDFILE* file_ = nullptr;
    std::vector<float> interleaved_;
    std::uint64_t skip_ = 0;
    std::uint64_t written_ = 0;
    bool committed_ = false;
};

}  // namespace corvane::tool
