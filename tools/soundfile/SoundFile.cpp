// SoundFile.cpp - see SoundFile.h: the reader and the writer. The writer's
// rules for where the audio goes (a temporary file renamed over a regular
// file, written in place where the folder is not writable, a device written
// directly, a pipe or FIFO given the finished file, standard output), each
// on Linux and on Windows, and the I/O through which it checks every byte,
// make it the longest piece; they hold no audio and are the next to move
// beside the platform code, with the reader's MPEG decoding.
#include "soundfile/SoundFile.h"

#include <fcntl.h>
#include <sys/stat.h>
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
#include <cstdio>
#include <cstring>
#include <limits>
#include <system_error>
#include <vector>

#include "platform/Platform.h"
#include "platform/ToolError.h"

namespace corvane::tool {
namespace fs = std::filesystem;
namespace {

std::string libsndfileReason(SNDFILE* file) {
    const char* text = sf_strerror(file);
    return text != nullptr && text[0] != '\0' ? text : "unknown libsndfile error";
}

std::string systemReason(int error) { return std::strerror(error); }

// A libsndfile message fit to show, or the tool's own sentence where the
// library has none worth reading ("Unspecified internal error.", "This is a
// bug in libsndfile.").
std::string libraryReason(const char* text, const std::string& fallback) {
    const std::string message = text != nullptr ? text : "";
    if (message.empty() || message.find("bug in libsndfile") != std::string::npos ||
        message.find("internal error") != std::string::npos || message.find("No error defined") != std::string::npos)
        return fallback;
    return message;
}

std::string seconds(std::uint64_t frames, int rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", rate > 0 ? static_cast<double>(frames) / rate : 0.0);
    return text;
}

#if defined(_WIN32)
using Offset = __int64;
Offset seekTo(int fd, Offset offset, int whence) { return ::_lseeki64(fd, offset, whence); }
Offset sizeOf(int fd) {
    struct _stati64 status {};
    return ::_fstati64(fd, &status) == 0 ? status.st_size : 0;
}
#else
using Offset = off_t;
Offset seekTo(int fd, Offset offset, int whence) { return ::lseek(fd, offset, whence); }
Offset sizeOf(int fd) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) ? status.st_size : 0;
}
#endif

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
    Offset at = 0;
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

// Up to `count` bytes at `offset` of a file; false when fewer are there.
bool readAt(int fd, Offset offset, unsigned char* into, unsigned count) {
    if (seekTo(fd, offset, SEEK_SET) != offset) return false;
    for (unsigned got = 0; got < count;) {
        const auto n = ::read(fd, into + got, count - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<unsigned>(n);
    }
    return true;
}

std::uint64_t littleEndian(const unsigned char* p, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

std::uint64_t bigEndian(const unsigned char* p, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | p[i];
    return value;
}

// The bytes of audio a WAV (RIFF, RIFX, RF64) or AIFF header promises
// against the bytes the file holds after it. libsndfile reads a file cut
// short (an interrupted download) to its end and reports the shorter
// length as the file's own, so the tool checks the header itself. Nothing
// (0, 0) for other formats, for what is no regular file (the offset must
// not move on a FIFO), and for a length left open: a writer that streams
// a WAV leaves 0 or a placeholder near 2^31 or 2^32 in the header (ffmpeg,
// sox, arecord), which libsndfile reads as "to the end of the file". The
// file's offset is back at its start afterwards.
struct AudioBytes {
    std::uint64_t promised = 0;
    std::uint64_t held = 0;
};
AudioBytes headerAudioBytes(int fd) {
    AudioBytes found;
    const Offset size = sizeOf(fd);
    unsigned char head[12] = {};
    if (size < 12 || !readAt(fd, 0, head, sizeof head)) {
        seekTo(fd, 0, SEEK_SET);
        return found;
    }
    const auto is = [&](const unsigned char* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; };
    const bool rf64 = is(head, "RF64") && is(head + 8, "WAVE");
    const bool wav = (is(head, "RIFF") || is(head, "RIFX") || rf64) && is(head + 8, "WAVE");
    const bool aiff = is(head, "FORM") && (is(head + 8, "AIFF") || is(head + 8, "AIFC"));
    const bool little = is(head, "RIFF") || rf64;
    const auto number = [&](const unsigned char* p, int bytes) {
        return little ? littleEndian(p, bytes) : bigEndian(p, bytes);
    };
    std::uint64_t ds64Data = 0;  // RF64: the data chunk's size, 64 bits wide
    Offset at = 12;
    for (int chunks = 0; (wav || aiff) && chunks < 1000 && at + 8 <= size; ++chunks) {
        unsigned char chunk[16] = {};
        if (!readAt(fd, at, chunk, 8)) break;
        const std::uint64_t length = number(chunk + 4, 4);
        const auto held = static_cast<std::uint64_t>(size - at - 8);
        if (rf64 && is(chunk, "ds64") && length >= 16 && readAt(fd, at + 16, chunk + 8, 8)) {
            ds64Data = littleEndian(chunk + 8, 8);  // after the RIFF size
        } else if (wav && is(chunk, "data")) {
            const bool wide = rf64 && length == 0xffffffffu;
            const std::uint64_t promised = wide ? ds64Data : length;
            if (promised != 0 && (wide || promised < 0x7fff0000u)) found = {promised, held};
            break;
        } else if (aiff && is(chunk, "SSND")) {
            if (length != 0 && length < 0x7fff0000u) found = {length, held};
            break;
        }
        at += static_cast<Offset>(8 + length + (length & 1));
    }
    seekTo(fd, 0, SEEK_SET);
    return found;
}

// The interrupted failure, for an open that a signal ended.
ToolError interrupted(const fs::path& path) {
    return ToolError("interrupted while opening " + quote(path.u8string()), kExitInterrupted);
}

bool stopped(const std::atomic<bool>* stop) { return stop != nullptr && stop->load(std::memory_order_relaxed); }

// open(2) that waits as long as it must (a FIFO waits for its other end)
// but not past a signal that sets `stop`: the tool's handlers do not restart
// system calls, so the open returns EINTR and this gives up. -1 with errno
// set on failure; -2 when stopped.
int openWaiting(const fs::path& path, int flags, const std::atomic<bool>* stop) {
    for (;;) {
        if (stopped(stop)) return -2;
#if defined(_WIN32)
        // By wide path, in binary mode, not handed to child processes.
        const int fd = ::_wopen(path.wstring().c_str(), flags | _O_BINARY | _O_NOINHERIT);
#else
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY);
#endif
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

// A double as a float, out-of-range values as infinities (a plain
// conversion of those is undefined).
float toFloat(double value) {
    constexpr double kLargest = std::numeric_limits<float>::max();
    if (value > kLargest) return std::numeric_limits<float>::infinity();
    if (value < -kLargest) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

#if !defined(_WIN32)
mode_t currentUmask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}
#endif

}  // namespace

// --- ExactSamples --------------------------------------------------------------

void ExactSamples::push(const double* interleaved, std::size_t frames) {
    if (head_ > 0 && head_ * 2 >= samples_.size()) {
        samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    samples_.insert(samples_.end(), interleaved, interleaved + frames * channels_);
}

const double* ExactSamples::next() {
    if (samples_.size() - head_ < channels_) return nullptr;
    const double* frame = samples_.data() + head_;
    head_ += channels_;
    return frame;
}

// --- SoundFileReader -----------------------------------------------------------

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

// --- SoundFileWriter -----------------------------------------------------------

SoundFileWriter::SoundFileWriter(fs::path target, int format, const std::atomic<bool>* stop)
    : target_(std::move(target)), format_(format), stop_(stop) {}

SoundFileWriter::~SoundFileWriter() {
    if (!committed_) discard();
}

std::string SoundFileWriter::name() const {
    return isStandardStream(target_) ? std::string("standard output") : quote(target_.u8string());
}

Result<void> SoundFileWriter::prepare(const AudioBusFormat& format) {
    const std::string what = "cannot write " + name() + ": ";
    SF_INFO info{};
    info.samplerate = static_cast<int>(format.sampleRate);
    info.channels = static_cast<int>(format.numberOfChannels);
    info.format = format_;
    const bool sameStream = file_ != nullptr && written_ == 0 && info_.samplerate == info.samplerate &&
                            info_.channels == info.channels;
    if (!sameStream) {
        discard();
        if (sf_format_check(&info) != SF_TRUE)
            return Error(what + describeFormat(format_) + " cannot hold " + std::to_string(format.numberOfChannels) +
                         " channel(s) at " + std::to_string(format.sampleRate) + " Hz");
        if (Result<void> opened = open(info); opened.isError()) return opened;
        sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
        info_ = info;
    }
    interleaved_.assign(static_cast<std::size_t>(format.numberOfChannels) * format.framesPerBlock, 0.0f);
    if (exact_ != nullptr) exactBlock_.assign(interleaved_.size(), 0.0);
    written_ = 0;
    return Result<void>::success();
}

Result<void> SoundFileWriter::open(const SF_INFO& wanted) {
    const std::string what = "cannot write " + name() + ": ";
    if (isStandardStream(target_)) {
        // '-': standard output, written front to back unless it is a file.
#if defined(_WIN32)
        ::_setmode(1, _O_BINARY);
        descriptor_ = ::_dup(1);
#else
        descriptor_ = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
#endif
        if (descriptor_ < 0) return Error(what + systemReason(errno));
        // Appended to (">>"), a file takes every write at its end: it cannot
        // go back to a header either.
#if defined(_WIN32)
        const bool seekable = seekTo(descriptor_, 0, SEEK_CUR) >= 0;
#else
        const bool seekable = seekTo(descriptor_, 0, SEEK_CUR) >= 0 && (::fcntl(descriptor_, F_GETFL) & O_APPEND) == 0;
#endif
        if (!formatStreams(format_) && !seekable) {
            ::close(descriptor_);
            descriptor_ = -1;
            return Error(what + describeFormat(format_) +
                         " cannot be streamed (its header is written last); use --format flac, ogg or mp3");
        }
        direct_ = true;
        SF_INFO info = wanted;
#if !defined(_WIN32)
        if (!seekable) return spool(info, what);
#endif
        return startFile(info, what);
    }
#if defined(_WIN32)
    // Windows: a regular file (links followed) is replaced through a
    // temporary file beside it; devices, pipes and modes are not its way.
    std::error_code ec;  // a target that is not there yet is no error
    const fs::file_status status = fs::status(target_, ec);
    const bool exists = fs::exists(status);
    if (exists && fs::is_directory(status)) return Error(what + "it is a folder");
    if (exists && !fs::is_regular_file(status)) return Error(what + "it is not a regular file");
    fs::path path = target_;
    if (exists && fs::is_symlink(fs::symlink_status(target_, ec))) {
        path = fs::canonical(target_, ec);
        if (ec) return Error(what + ec.message());
    }
    if (exists) {
        // Refused as cp refuses it: the file itself must be writable.
        const int probe = ::_wopen(path.wstring().c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT);
        if (probe < 0) return Error(what + systemReason(errno));
        ::_close(probe);
    }
    destination_ = path;
    SF_INFO info = wanted;
    for (int attempt = 0; descriptor_ < 0; ++attempt) {
        const fs::path temporary =
            path.parent_path() / (".cvm-" + std::to_string(processId()) + "-" + std::to_string(attempt));
        descriptor_ = ::_wopen(temporary.wstring().c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                               _S_IREAD | _S_IWRITE);
        if (descriptor_ >= 0) temporary_ = temporary;
        else if (errno != EEXIST || attempt == 99) return Error(what + systemReason(errno));
    }
    direct_ = false;
#else
    // Follow symbolic links to the file that is to be replaced.
    fs::path path = target_;
    struct stat status {};
    bool exists = false;
    for (int hops = 0;; ++hops) {
        if (::lstat(path.c_str(), &status) != 0) {
            if (errno != ENOENT) return Error(what + systemReason(errno));
            break;
        }
        exists = true;
        if (!S_ISLNK(status.st_mode)) break;
        if (hops == 40) return Error(what + systemReason(ELOOP));
        std::error_code ec;
        const fs::path link = fs::read_symlink(path, ec);
        if (ec) return Error(what + ec.message());
        path = link.is_absolute() ? link : path.parent_path() / link;
        exists = false;
    }
    destination_ = path;
    SF_INFO info = wanted;

    if (exists && S_ISDIR(status.st_mode)) return Error(what + "it is a folder");
    if (exists && S_ISSOCK(status.st_mode)) return Error(what + "it is a socket");
    if (exists && !S_ISREG(status.st_mode)) {
        // A device or FIFO: written in place, never replaced.
        const bool fifo = S_ISFIFO(status.st_mode);
        const std::string cannotStream = describeFormat(format_) +
                                         " cannot be streamed (its header is written last); write a regular file, "
                                         "or use --format flac or ogg";
        if (fifo && !formatStreams(format_)) return Error(what + cannotStream);
        // A FIFO waits for its reader; a device should not make us wait.
        descriptor_ = openWaiting(path, O_WRONLY | (fifo ? 0 : O_NONBLOCK), stop_);
        if (descriptor_ == -2) return Error("interrupted while opening " + quote(target_.u8string()));
        if (descriptor_ < 0) return Error(what + systemReason(errno));
        const bool seekable = !fifo && ::lseek(descriptor_, 0, SEEK_CUR) >= 0;
        if (!fifo) {
            ::fcntl(descriptor_, F_SETFL, ::fcntl(descriptor_, F_GETFL) & ~O_NONBLOCK);
            if (!seekable && !formatStreams(format_)) {
                ::close(descriptor_);
                descriptor_ = -1;
                return Error(what + cannotStream);
            }
        }
        direct_ = true;
        if (!seekable) return spool(info, what);
    } else {
        mode_t mode = 0666 & ~currentUmask();
        if (exists) {
            // Refused as cp refuses it: the file itself must be writable.
            const int probe = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
            if (probe < 0) return Error(what + systemReason(errno));
            ::close(probe);
            mode = status.st_mode & 07777;
        }
        // A short name beside the file: any name that fits the folder fits.
        std::string temporary = (path.parent_path() / ".cvm-XXXXXX").string();
        descriptor_ = ::mkstemp(temporary.data());
        if (descriptor_ < 0 && exists && (errno == EACCES || errno == EPERM)) {
            // A file the user may write in a folder the user may not: it
            // is written in place, as cp does, from a temporary file
            // elsewhere, so a render that fails leaves it as it was.
            std::error_code ec;
            temporary = (fs::temp_directory_path(ec) / ".cvm-XXXXXX").string();
            descriptor_ = ec ? -1 : ::mkstemp(temporary.data());
            if (descriptor_ >= 0) {
                temporary_ = temporary;
                inPlace_ = true;
                return startFile(info, what);
            }
            errno = EACCES;
        }
        if (descriptor_ < 0) return Error(what + systemReason(errno));
        temporary_ = temporary;
        // The owner first (which may clear set-id bits), then the mode.
        if (exists && (status.st_uid != ::geteuid() || status.st_gid != ::getegid()))
            (void)::fchown(descriptor_, status.st_uid, status.st_gid);
        if (::fchmod(descriptor_, mode) != 0) {
            const int error = errno;
            discard();
            return Error(what + systemReason(error));
        }
        direct_ = false;
    }
#endif
    return startFile(info, what);
}

// libsndfile's virtual I/O on the writer's descriptor, as libsndfile itself
// would use the descriptor (its file starting where the descriptor stood),
// except that the errno of a write that fails is kept: libsndfile's encoders
// do not all pass a failed write on (its MP3 encoder only logs a short one,
// its FLAC encoder's last frames go unchecked when the file is closed), so
// the writer looks at writeError_ after every call into libsndfile. From the
// failed write on, the render has failed and what libsndfile writes is
// dropped but taken as written: its encoders then close as they always do
// and free what they hold (its Ogg Vorbis encoder, whose header found no
// room, would start a second stream when closed and lose the first).
struct SoundFileWriter::Io {
    static SoundFileWriter& of(void* self) { return *static_cast<SoundFileWriter*>(self); }
    static sf_count_t length(void* self) { return std::max<Offset>(0, sizeOf(of(self).descriptor_) - of(self).origin_); }
    static sf_count_t seek(sf_count_t offset, int whence, void* self) {
        const SoundFileWriter& w = of(self);
        const Offset at = seekTo(w.descriptor_, whence == SEEK_SET ? offset + w.origin_ : offset, whence);
        return at < 0 ? -1 : at - w.origin_;
    }
    static sf_count_t tell(void* self) { return seek(0, SEEK_CUR, self); }
    static sf_count_t read(void* data, sf_count_t count, void* self) {
        for (;;) {
            const auto n = ::read(of(self).descriptor_, data, static_cast<unsigned>(std::min<sf_count_t>(count, 1 << 30)));
            if (n >= 0 || errno != EINTR) return n < 0 ? 0 : n;
        }
    }
    static sf_count_t write(const void* data, sf_count_t count, void* self) {
        SoundFileWriter& w = of(self);
        for (sf_count_t put = 0; put < count && w.writeError_ == 0;) {
            const auto n = ::write(w.descriptor_, static_cast<const char*>(data) + put,
                                   static_cast<unsigned>(std::min<sf_count_t>(count - put, 1 << 30)));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) w.writeError_ = n < 0 ? errno : EIO;
            else put += n;
        }
        return count;
    }
};

Result<void> SoundFileWriter::startFile(SF_INFO& info, const std::string& what) {
    // libsndfile writes on the descriptor open() chose, through Io; failing,
    // nothing of it is left behind.
    writeError_ = 0;
    origin_ = 0;
    if (direct_ && stream_ < 0) origin_ = std::max<Offset>(0, seekTo(descriptor_, 0, SEEK_CUR));
    SF_VIRTUAL_IO io{&Io::length, &Io::seek, &Io::read, &Io::write, &Io::tell};
    file_ = sf_open_virtual(&io, SFM_WRITE, &info, this);
    if (file_ == nullptr) {
        const std::string why = reason(sf_error(nullptr));
        discard();
        return Error(what + why);
    }
    return Result<void>::success();
}

#if !defined(_WIN32)
Result<void> SoundFileWriter::spool(SF_INFO& info, const std::string& what) {
    stream_ = descriptor_;
    std::error_code ec;
    std::string temporary = (fs::temp_directory_path(ec) / ".cvm-XXXXXX").string();
    descriptor_ = ec ? -1 : ::mkstemp(temporary.data());
    if (descriptor_ < 0) {
        const int error = ec ? ENOENT : errno;
        discard();
        return Error(what + "no temporary file to make it in: " + systemReason(error));
    }
    ::unlink(temporary.c_str());  // gone from its folder; the descriptor keeps it
    return startFile(info, what);
}
#endif

std::string SoundFileWriter::reason(int libraryError) const {
    if (writeError_ != 0)
        return (stream_ >= 0 ? "cannot make it in a temporary file: " : "") + systemReason(writeError_);
    const std::string fallback = "the " + describeFormat(format_) + " encoder failed without a reason";
    if (libraryError < 0) return fallback;  // sf_close's -1: no code to show
    if (libraryError > 0) return libraryReason(sf_error_number(libraryError), fallback);
    return libraryReason(sf_strerror(file_), fallback);
}

bool SoundFileWriter::write(const AudioBuffer<float>& block) {
    if (file_ == nullptr) return false;
    const std::uint32_t channels = block.getNumberOfChannels();
    std::uint32_t start = 0;
    std::uint32_t frames = block.getNumberOfFrames();
    if (skip_ > 0) {
        start = static_cast<std::uint32_t>(std::min<std::uint64_t>(skip_, frames));
        skip_ -= start;
    }
    const std::uint32_t count = frames - start;
    if (count == 0) return true;
    if (static_cast<std::size_t>(count) * channels > interleaved_.size()) return false;
    if (exact_ != nullptr && exact_->channels() == channels) {
        for (std::uint32_t i = 0; i < count; ++i) {
            const double* kept = exact_->next();
            for (std::uint32_t c = 0; c < channels; ++c) {
                const float sample = block.getReadPointer(c)[start + i];
                const bool unchanged = kept != nullptr && toFloat(kept[c]) == sample;
                exactBlock_[i * channels + c] = unchanged ? kept[c] : static_cast<double>(sample);
            }
        }
        if (sf_writef_double(file_, exactBlock_.data(), count) != static_cast<sf_count_t>(count)) return false;
    } else {
        for (std::uint32_t c = 0; c < channels; ++c) {
            const float* in = block.getReadPointer(c) + start;
            for (std::uint32_t i = 0; i < count; ++i) interleaved_[i * channels + c] = in[i];
        }
        if (sf_writef_float(file_, interleaved_.data(), count) != static_cast<sf_count_t>(count)) return false;
    }
    if (writeError_ != 0) return false;  // an encoder that took the frames but not their bytes
    written_ += count;
    return true;
}

void SoundFileWriter::commit() {
    const std::string what = "cannot write " + name() + ": ";
    if (file_ == nullptr) throw ToolError(what + "nothing was written");
    // Closing writes what the encoders still hold (their last frames) and
    // their headers: the file is whole only when all of that went out.
    const int closed = sf_close(file_);
    file_ = nullptr;
    if (closed != 0 || writeError_ != 0) {
        const std::string why = reason(closed);
        discard();
        throw ToolError(what + why);
    }
#if !defined(_WIN32)
    if (inPlace_ || stream_ >= 0) {
        copyOut(what);
        committed_ = true;
        return;
    }
#endif
    const int descriptor = descriptor_;
    descriptor_ = -1;
    if (::close(descriptor) != 0) {
        const int error = errno;
        discard();
        throw ToolError(what + systemReason(error));
    }
#if defined(_WIN32)
    // fs::rename replaces an existing file on Windows too (MoveFileExW).
    std::error_code renamed;
    if (!direct_) fs::rename(temporary_, destination_, renamed);
    if (renamed) {
        discard();
        throw ToolError(what + renamed.message());
    }
#else
    if (!direct_ && ::rename(temporary_.c_str(), destination_.c_str()) != 0) {
        const int error = errno;
        discard();
        throw ToolError(what + systemReason(error));
    }
#endif
    temporary_.clear();
    committed_ = true;
}

#if !defined(_WIN32)
// The finished temporary file's bytes into the target. A file written in
// place keeps its own inode, mode and owner; until it is opened it is as it
// was, and a failure after that leaves it cut short, which the message says.
// A pipe, FIFO or terminal (stream_) gets the file front to back; a signal
// that ends the tool (SIGPIPE when its reader has gone) ends the copy.
void SoundFileWriter::copyOut(const std::string& what) {
    int to = stream_;
    stream_ = -1;
    if (inPlace_) {
        to = ::open(destination_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
        if (to < 0) {
            const int error = errno;
            discard();
            throw ToolError(what + systemReason(error) + "; it was left as it was");
        }
    }
    std::vector<char> buffer(1 << 16);
    int error = ::lseek(descriptor_, 0, SEEK_SET) == 0 ? 0 : errno;
    bool interrupted = false;
    while (error == 0 && !interrupted) {
        const ssize_t got = ::read(descriptor_, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got < 0) error = errno;
            break;
        }
        for (ssize_t put = 0; put < got && error == 0 && !interrupted;) {
            const ssize_t n = ::write(to, buffer.data() + put, static_cast<std::size_t>(got - put));
            if (n > 0) put += n;
            else if (stopped(stop_)) interrupted = true;
            else if (n == 0 || errno != EINTR) error = n == 0 ? EIO : errno;
        }
    }
    if (::close(to) != 0 && error == 0) error = errno;
    discard();
    if (interrupted || (error != 0 && stopped(stop_)))
        throw ToolError("interrupted while writing " + name(), kExitInterrupted);
    if (error != 0)
        throw ToolError(what + systemReason(error) +
                        (inPlace_ ? "; it was being written in place (its folder cannot be written) and is now incomplete"
                                  : ""));
}
#endif

std::string SoundFileWriter::failure() const { return "cannot write " + name() + ": " + reason(0); }

void SoundFileWriter::discard() noexcept {
    if (file_ != nullptr) {
        sf_close(file_);
        file_ = nullptr;
    }
    if (descriptor_ >= 0) {
        ::close(descriptor_);
        descriptor_ = -1;
    }
    if (stream_ >= 0) {
        ::close(stream_);
        stream_ = -1;
    }
    if (!temporary_.empty()) {
        std::error_code ec;
        fs::remove(temporary_, ec);
        temporary_.clear();
    }
}

}  // namespace corvane::tool
