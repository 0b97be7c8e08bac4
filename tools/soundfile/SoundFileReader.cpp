// SoundFileReader.cpp - see SoundFile.h: the reader, through libsndfile or,
// for MPEG audio, libmpg123.
#include "soundfile/SoundFile.h"

#include <fcntl.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <stdlib.h>  // mkstemp
#include <unistd.h>
#endif

#if defined(CORVANE_VOICEMOD_HAVE_MPG123)
#include <mpg123.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>
#include <vector>

#include "platform/Descriptors.h"
#include "platform/Platform.h"
#include "platform/ToolError.h"
#include "soundfile/HeaderLength.h"
#include "soundfile/LibraryText.h"

namespace corvane::tool {
namespace fs = std::filesystem;
namespace {

#if defined(CORVANE_VOICEMOD_HAVE_MPG123)
// libmpg123's text for an error, without the " (code 18)" it ends with.
std::string mpegReason(int error) {
    std::string text = mpg123_plain_strerror(error);
    const std::size_t code = text.rfind(" (code ");
    if (code != std::string::npos) text.erase(code);
    return text;
}

// Whether the file starts as MPEG audio does: an MPEG audio frame header,
// maybe after an ID3v2 tag. Such a file goes to libmpg123 without
// libsndfile, whose own use of it prints the decoder's notes on standard
// error and stops at a length guessed from the first frame when no header
// gives one. (AAC's ADTS headers, layer 0, are no MPEG audio.)
bool startsAsMpeg(int fd) {
    unsigned char head[10] = {};
    FileOffset at = 0;
    if (seekTo(fd, 0, SEEK_SET) != 0 || ::read(fd, head, sizeof head) != static_cast<ssize_t>(sizeof head))
        return false;
    if (head[0] == 'I' && head[1] == 'D' && head[2] == '3') {
        at = 10 + ((head[6] & 0x7f) << 21 | (head[7] & 0x7f) << 14 | (head[8] & 0x7f) << 7 | (head[9] & 0x7f)) +
             ((head[5] & 0x10) != 0 ? 10 : 0);
        if (seekTo(fd, at, SEEK_SET) != at || ::read(fd, head, 4) != 4) return false;
    }
    seekTo(fd, 0, SEEK_SET);
    const int layer = (head[1] >> 1) & 3, bitrate = head[2] >> 4, rate = (head[2] >> 2) & 3;
    return head[0] == 0xff && (head[1] & 0xe0) == 0xe0 && layer != 0 && bitrate != 15 && rate != 3;
}
#endif

// The interrupted failure, for an open that a signal ended.
ToolError interrupted(const fs::path& path) {
    return ToolError("interrupted while opening " + quote(path.u8string()), kExitInterrupted);
}

}  // namespace

SoundFileReader::SoundFileReader(const fs::path& path, const std::atomic<bool>* stop) : path_(path) {
    const bool standard = isStandardStream(path);
    const std::string what =
        "cannot read " + (standard ? std::string("standard input") : quote(path.u8string())) + ": ";
    std::error_code ec;
    if (!standard && fs::is_directory(path, ec)) throw ToolError(what + "it is a folder");
    if (standard) {
        // '-': standard input, on a descriptor of its own.
#if defined(_WIN32)
        ::_setmode(0, _O_BINARY);
        descriptor_ = ::_dup(0);
#else
        descriptor_ = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
        if (descriptor_ >= 0 && ::lseek(descriptor_, 0, SEEK_CUR) < 0) {
            // A pipe: libsndfile reads some formats (FLAC) only from a file
            // it can seek in, so the stream is first kept in a temporary
            // file (gone once closed), then read from there.
            std::error_code tempError;
            std::string spool = (fs::temp_directory_path(tempError) / ".cvm-in-XXXXXX").string();
            const int kept = tempError ? -1 : ::mkstemp(spool.data());
            if (kept < 0) throw ToolError(what + "no temporary file to keep it in: " + systemReason(errno));
            ::unlink(spool.c_str());
            std::vector<char> buffer(1 << 16);
            for (;;) {
                if (stopped(stop)) {
                    ::close(kept);
                    throw interrupted(path);
                }
                const ssize_t got = ::read(descriptor_, buffer.data(), buffer.size());
                if (got < 0 && errno == EINTR) continue;
                if (got < 0) {
                    const int error = errno;
                    ::close(kept);
                    throw ToolError(what + systemReason(error));
                }
                if (got == 0) break;
                for (ssize_t put = 0; put < got;) {
                    const ssize_t n = ::write(kept, buffer.data() + put, static_cast<std::size_t>(got - put));
                    if (n < 0 && errno == EINTR) continue;
                    if (n < 0) {
                        const int error = errno;
                        ::close(kept);
                        throw ToolError(what + "cannot keep it in a temporary file: " + systemReason(error));
                    }
                    put += n;
                }
            }
            ::close(descriptor_);
            ::lseek(kept, 0, SEEK_SET);
            descriptor_ = kept;
        }
#endif
    } else {
        descriptor_ = openWaiting(path, O_RDONLY, stop);
    }
    if (descriptor_ == -2) throw interrupted(path);
    if (descriptor_ < 0) throw ToolError(what + systemReason(errno));
#if defined(CORVANE_VOICEMOD_HAVE_MPG123)
    if (startsAsMpeg(descriptor_)) {
        openMpeg(what);
        return;
    }
#endif
    const AudioBytes audio = headerAudioBytes(descriptor_);
    file_ = sf_open_fd(descriptor_, SFM_READ, &info_, SF_FALSE);
    if (file_ == nullptr) {
        const int error = sf_error(nullptr);
        std::string reason = libsndfileReason(nullptr);
        const std::string ext = asciiLower(path.extension().u8string());
        const bool aac = ext == ".m4a" || ext == ".mp4" || ext == ".aac" || ext == ".m4b";
        if (error == SF_ERR_UNRECOGNISED_FORMAT && (aac || ext == ".wma" || ext == ".webm")) {
            // Formats libsndfile has no reader for: say so, and how.
            reason = (aac ? "libsndfile cannot read AAC audio (" + ext + ")"
                          : "libsndfile cannot read " + ext.substr(1) + " files") +
                     "; convert it to WAV, FLAC, Ogg or MP3 first, for example with 'ffmpeg -i " +
                     path.filename().u8string() + " " + path.stem().u8string() + ".wav'";
        }
        ::close(descriptor_);
        descriptor_ = -1;
        throw ToolError(what + reason);
    }
    if (info_.channels < 1 || info_.samplerate < 1) {
        sf_close(file_);
        file_ = nullptr;
        ::close(descriptor_);
        descriptor_ = -1;
        throw ToolError(what + "it has no audio channels");
    }
    if (audio.promised > audio.held) {
        // Cut short: libsndfile would read what is there as the whole file.
        const auto held = static_cast<std::uint64_t>(std::max<sf_count_t>(0, info_.frames));
        const auto promised = static_cast<std::uint64_t>(
            static_cast<double>(held) * static_cast<double>(audio.promised) / static_cast<double>(std::max<std::uint64_t>(1, audio.held)));
        close();
        throw ToolError(what + "it is cut short: it ends at " + seconds(held, info_.samplerate) + ", before the " +
                        seconds(promised, info_.samplerate) + " its header gives");
    }
#if defined(CORVANE_VOICEMOD_HAVE_MPG123)
    if ((info_.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) {
        // MPEG audio libsndfile found further in: decoded as any other.
        sf_close(file_);
        file_ = nullptr;
        openMpeg(what);
    }
#endif
}

#if defined(CORVANE_VOICEMOD_HAVE_MPG123)
void SoundFileReader::openMpeg(const std::string& what) {
    const auto fail = [&](const std::string& reason) {
        close();
        throw ToolError(what + reason);
    };
    int error = MPG123_OK;
    mpg123_init();  // once per process; later calls do nothing
    mpeg_ = mpg123_new(nullptr, &error);
    if (mpeg_ == nullptr) fail(std::string("no MPEG decoder: ") + mpegReason(error));
    // Quiet: a failure is the tool's to report. No peeking at the end for
    // a length to guess from the file's size: a header gives the length, or
    // the frames are read to their end. Gapless, as the encoder's header
    // says (LAME's delay and padding cut).
    mpg123_param(mpeg_, MPG123_REMOVE_FLAGS, MPG123_AUTO_RESAMPLE, 0.0);
    mpg123_param(mpeg_, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_FORCE_FLOAT | MPG123_GAPLESS | MPG123_NO_PEEK_END,
                 0.0);
    seekTo(descriptor_, 0, SEEK_SET);
    long rate = 0;
    int channels = 0, encoding = 0;
    if (mpg123_open_fd(mpeg_, descriptor_) != MPG123_OK || mpg123_getformat(mpeg_, &rate, &channels, &encoding) != MPG123_OK)
        fail(std::string("no MPEG audio in it: ") + mpegReason(mpg123_errcode(mpeg_)));
    mpg123_format_none(mpeg_);
    mpg123_format(mpeg_, rate, channels, MPG123_ENC_FLOAT_32);
    mpg123_frameinfo frame{};
    mpg123_info(mpeg_, &frame);
    const off_t length = mpg123_length(mpeg_);
    info_.samplerate = static_cast<int>(rate);
    info_.channels = channels;
    info_.frames = length > 0 ? static_cast<sf_count_t>(length) : std::numeric_limits<sf_count_t>::max();
    info_.format = SF_FORMAT_MPEG | (frame.layer == 1   ? SF_FORMAT_MPEG_LAYER_I
                                     : frame.layer == 2 ? SF_FORMAT_MPEG_LAYER_II
                                                        : SF_FORMAT_MPEG_LAYER_III);
    if (info_.channels < 1 || info_.samplerate < 1) fail("it has no audio channels");
}
#else
void SoundFileReader::openMpeg(const std::string&) {}
#endif

SoundFileReader::~SoundFileReader() { close(); }

void SoundFileReader::close() noexcept {
    if (file_ != nullptr) sf_close(file_);
    file_ = nullptr;
#if defined(CORVANE_VOICEMOD_HAVE_MPG123)
    if (mpeg_ != nullptr) mpg123_delete(mpeg_);  // closes what it opened, not the descriptor
#endif
    mpeg_ = nullptr;
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = -1;
}

std::uint32_t SoundFileReader::readFrames(std::uint32_t count) {
    const std::string what =
        "cannot read " + (isStandardStream(path_) ? std::string("standard input") : quote(path_.u8string())) + ": ";
    const bool knownLength = static_cast<std::uint64_t>(info_.frames) < (std::uint64_t{1} << 62);
    sf_count_t n = 0;
#if defined(CORVANE_VOICEMOD_HAVE_MPG123)
    if (mpeg_ != nullptr) {
        const std::size_t frameBytes = sizeof(float) * channels();
        std::size_t done = 0;
        int status = MPG123_OK;
        while (done < count * frameBytes && status == MPG123_OK) {
            std::size_t got = 0;
            status = mpg123_read(mpeg_, reinterpret_cast<unsigned char*>(interleaved_.data()) + done,
                                 count * frameBytes - done, &got);
            done += got;
        }
        n = static_cast<sf_count_t>(done / frameBytes);
        framesRead_ += static_cast<std::uint64_t>(n);
        if (status != MPG123_OK && status != MPG123_DONE) {
            failed_ = true;
            failure_ = what + "the MPEG decoder stopped at " + seconds(framesRead_, info_.samplerate) +
                       (knownLength ? " of " + seconds(static_cast<std::uint64_t>(info_.frames), info_.samplerate) : "") +
                       ": " +
                       (status == MPG123_NEW_FORMAT ? "the audio changes its format there"
                                                    : mpegReason(mpg123_errcode(mpeg_)));
        }
    } else
#endif
    {
        if (exact_ != nullptr) {
            n = sf_readf_double(file_, exactBlock_.data(), count);
            if (n > 0) {
                exact_->push(exactBlock_.data(), static_cast<std::size_t>(n));
                for (std::size_t i = 0; i < static_cast<std::size_t>(n) * channels(); ++i)
                    interleaved_[i] = toFloat(exactBlock_[i]);
            }
        } else {
            n = sf_readf_float(file_, interleaved_.data(), count);
        }
        if (n < 0) n = 0;
        framesRead_ += static_cast<std::uint64_t>(n);
        if (static_cast<std::uint32_t>(n) < count && sf_error(file_) != SF_ERR_NO_ERROR) {
            failed_ = true;
            const std::string text = sf_strerror(file_);
            if ((info_.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC && text.find("lost sync") != std::string::npos) {
                // The frames stop making sense there. A stream with no
                // length in its header may be one an earlier version of
                // this tool wrote to a pipe: its encoder appended its
                // header's last values to the end, which no decoder reads.
                failure_ = what + "its FLAC frames break off at " + seconds(framesRead_, info_.samplerate) +
                           (knownLength ? " of " + seconds(static_cast<std::uint64_t>(info_.frames), info_.samplerate)
                                        : std::string()) +
                           " (the file is cut short or damaged there)";
                if (!knownLength)
                    failure_ += "; a FLAC stream an earlier corvane-voicemod wrote to a pipe ends so: "
                                "'flac -d -F' decodes what is there";
            }
        }
    }
    // The end came before the length the header gives: a file cut short, or
    // a decoder that gave up without a word. Not a whole input.
    if (!failed_ && static_cast<std::uint32_t>(n) < count && knownLength &&
        framesRead_ < static_cast<std::uint64_t>(info_.frames)) {
        failed_ = true;
        failure_ = what + "it ends at " + seconds(framesRead_, info_.samplerate) + ", before the " +
                   seconds(static_cast<std::uint64_t>(info_.frames), info_.samplerate) + " its header gives";
    }
    return static_cast<std::uint32_t>(n);
}

AudioBusFormat SoundFileReader::getFormat() const { return AudioBusFormat{sampleRate(), channels(), 0}; }

Result<void> SoundFileReader::prepare(const AudioBusFormat& format) {
    if (format.numberOfChannels != channels())
        return Error("cannot read " + quote(path_.u8string()) + " as " + std::to_string(format.numberOfChannels) +
                     " channel(s)");
    interleaved_.assign(static_cast<std::size_t>(channels()) * format.framesPerBlock, 0.0f);
    if (exact_ != nullptr) exactBlock_.assign(interleaved_.size(), 0.0);
    return Result<void>::success();
}

std::uint32_t SoundFileReader::read(AudioBuffer<float>& block) {
    const std::uint32_t stride = channels();
    const std::uint32_t wanted =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(block.getNumberOfFrames(), interleaved_.size() / stride));
    const std::uint32_t chans = std::min(stride, block.getNumberOfChannels());
    const auto silence = [&](std::uint64_t& budget, std::uint32_t at) {
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(budget, wanted - at));
        for (std::uint32_t c = 0; c < chans; ++c) std::fill_n(block.getWritePointer(c) + at, n, 0.0f);
        budget -= n;
        return n;
    };
    std::uint32_t got = 0;
    while (got < wanted) {
        if (leadingSilence_ > 0) {
            got += silence(leadingSilence_, got);
        } else if (!ended_) {
            const std::uint32_t asked = wanted - got;
            const std::uint32_t count = readFrames(asked);
            if (failed_) {
                ended_ = true;
                return 0;
            }
            for (std::uint32_t c = 0; c < chans; ++c) {
                float* out = block.getWritePointer(c) + got;
                for (std::uint32_t i = 0; i < count; ++i) out[i] = interleaved_[i * stride + c];
            }
            got += count;
            if (count < asked) ended_ = true;
        } else if (trailingSilence_ > 0) {
            got += silence(trailingSilence_, got);
        } else {
            break;
        }
    }
    return got;
}

std::string SoundFileReader::failure() const {
    if (!failure_.empty()) return failure_;
    return "cannot read " + (isStandardStream(path_) ? std::string("standard input") : quote(path_.u8string())) +
           ": " + libraryReason(sf_strerror(file_), "the " + describeFormat(info_.format) + " decoder failed without a reason");
}

}  // namespace corvane::tool
