// SoundFile.cpp - see SoundFile.h: the reader and the writer. The writer's
// rules for where the audio goes (a temporary file renamed over a regular
// file, written in place where the folder is not writable, a device or FIFO
// written directly, standard output), each on Linux and on Windows, make it
// the longest piece; they hold no audio and are the next to move beside the
// platform code.
#include "SoundFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <stdlib.h>  // mkstemp
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>
#include <vector>

#include "Platform.h"
#include "ToolError.h"

namespace corvane::tool {
namespace fs = std::filesystem;
namespace {

std::string libsndfileReason(SNDFILE* file) {
    const char* text = sf_strerror(file);
    return text != nullptr && text[0] != '\0' ? text : "unknown libsndfile error";
}

std::string systemReason(int error) { return std::strerror(error); }

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
}

SoundFileReader::~SoundFileReader() { close(); }

void SoundFileReader::close() noexcept {
    if (file_ != nullptr) sf_close(file_);
    file_ = nullptr;
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = -1;
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
            sf_count_t n;
            if (exact_ != nullptr) {
                n = sf_readf_double(file_, exactBlock_.data(), asked);
                if (n > 0) {
                    exact_->push(exactBlock_.data(), static_cast<std::size_t>(n));
                    for (std::size_t i = 0; i < static_cast<std::size_t>(n) * stride; ++i)
                        interleaved_[i] = toFloat(exactBlock_[i]);
                }
            } else {
                n = sf_readf_float(file_, interleaved_.data(), asked);
            }
            const std::uint32_t count = n > 0 ? static_cast<std::uint32_t>(n) : 0;
            for (std::uint32_t c = 0; c < chans; ++c) {
                float* out = block.getWritePointer(c) + got;
                for (std::uint32_t i = 0; i < count; ++i) out[i] = interleaved_[i * stride + c];
            }
            got += count;
            if (count < asked) {
                ended_ = true;
                if (sf_error(file_) != SF_ERR_NO_ERROR) {
                    failed_ = true;
                    return 0;
                }
            }
        } else if (trailingSilence_ > 0) {
            got += silence(trailingSilence_, got);
        } else {
            break;
        }
    }
    return got;
}

std::string SoundFileReader::failure() const {
    return "cannot read " + (isStandardStream(path_) ? std::string("standard input") : quote(path_.u8string())) +
           ": " + libsndfileReason(file_);
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
        if (!formatStreams(format_) && ::lseek(descriptor_, 0, SEEK_CUR) < 0) {
            ::close(descriptor_);
            descriptor_ = -1;
            return Error(what + describeFormat(format_) +
                         " cannot be streamed (its header is written last); use --format flac, ogg or mp3");
        }
        direct_ = true;
        SF_INFO info = wanted;
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
        if (!fifo) {
            ::fcntl(descriptor_, F_SETFL, ::fcntl(descriptor_, F_GETFL) & ~O_NONBLOCK);
            if (::lseek(descriptor_, 0, SEEK_CUR) < 0 && !formatStreams(format_)) {
                ::close(descriptor_);
                descriptor_ = -1;
                return Error(what + cannotStream);
            }
        }
        direct_ = true;
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

Result<void> SoundFileWriter::startFile(SF_INFO& info, const std::string& what) {
    // libsndfile writes on the descriptor open() chose; failing, nothing of
    // it is left behind.
    file_ = sf_open_fd(descriptor_, SFM_WRITE, &info, SF_FALSE);
    if (file_ == nullptr) {
        const std::string reason = libsndfileReason(nullptr);
        discard();
        return Error(what + reason);
    }
    return Result<void>::success();
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
    written_ += count;
    return true;
}

void SoundFileWriter::commit() {
    const std::string what = "cannot write " + name() + ": ";
    if (file_ == nullptr) throw ToolError(what + "nothing was written");
    const int closed = sf_close(file_);
    file_ = nullptr;
    if (closed != 0) {
        discard();
        throw ToolError(what + sf_error_number(closed));
    }
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
    if (inPlace_) {
        copyInPlace(what);
    } else if (!direct_ && ::rename(temporary_.c_str(), destination_.c_str()) != 0) {
        const int error = errno;
        discard();
        throw ToolError(what + systemReason(error));
    }
#endif
    temporary_.clear();
    committed_ = true;
}

#if !defined(_WIN32)
// The finished temporary file's bytes into the target, which keeps its own
// inode, mode and owner. Until the target is opened it is as it was; a
// failure after that leaves it cut short, and the message says so.
void SoundFileWriter::copyInPlace(const std::string& what) {
    const int from = ::open(temporary_.c_str(), O_RDONLY | O_CLOEXEC);
    if (from < 0) {
        const int error = errno;
        discard();
        throw ToolError(what + systemReason(error) + "; it was left as it was");
    }
    const int to = ::open(destination_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    if (to < 0) {
        const int error = errno;
        ::close(from);
        discard();
        throw ToolError(what + systemReason(error) + "; it was left as it was");
    }
    std::vector<char> buffer(1 << 16);
    int error = 0;
    for (;;) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got < 0) error = errno;
            break;
        }
        for (ssize_t put = 0; put < got && error == 0;) {
            const ssize_t n = ::write(to, buffer.data() + put, static_cast<std::size_t>(got - put));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) error = errno;
            else put += n;
        }
        if (error != 0) break;
    }
    if (::close(to) != 0 && error == 0) error = errno;
    ::close(from);
    discard();
    if (error != 0)
        throw ToolError(what + systemReason(error) +
                        "; it was being written in place (its folder cannot be written) and is now incomplete");
}
#endif

std::string SoundFileWriter::failure() const {
    return "cannot write " + name() + ": " + libsndfileReason(file_);
}

void SoundFileWriter::discard() noexcept {
    if (file_ != nullptr) {
        sf_close(file_);
        file_ = nullptr;
    }
    if (descriptor_ >= 0) {
        ::close(descriptor_);
        descriptor_ = -1;
    }
    if (!temporary_.empty()) {
        std::error_code ec;
        fs::remove(temporary_, ec);
        temporary_.clear();
    }
}

}  // namespace corvane::tool
