// OutputFile.cpp - see OutputFile.h: the rules for where an output goes,
// on POSIX and on Windows.
#include "platform/OutputFile.h"

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
#include <system_error>
#include <vector>

#include "platform/Descriptors.h"
#include "platform/Platform.h"
#include "platform/ToolError.h"

namespace corvane::tool {
namespace fs = std::filesystem;
namespace {

#if !defined(_WIN32)
mode_t currentUmask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}
#endif

}  // namespace

OutputFile::OutputFile(fs::path target, const std::atomic<bool>* stop) : target_(std::move(target)), stop_(stop) {}

OutputFile::~OutputFile() {
    if (!committed_) discard();
}

std::string OutputFile::name() const {
    return isStandardStream(target_) ? std::string("standard output") : quote(target_.u8string());
}

Result<void> OutputFile::open(const std::string& format, bool streams) {
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
        if (!streams && !seekable) {
            ::close(descriptor_);
            descriptor_ = -1;
            return Error(what + format + " cannot be streamed (its header is written last); use --format flac, ogg or mp3");
        }
        direct_ = true;
#if !defined(_WIN32)
        if (!seekable) return spool(what);
#endif
        return opened();
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

    if (exists && S_ISDIR(status.st_mode)) return Error(what + "it is a folder");
    if (exists && S_ISSOCK(status.st_mode)) return Error(what + "it is a socket");
    if (exists && !S_ISREG(status.st_mode)) {
        // A device or FIFO: written in place, never replaced.
        const bool fifo = S_ISFIFO(status.st_mode);
        const std::string cannotStream =
            format + " cannot be streamed (its header is written last); write a regular file, or use --format flac or ogg";
        if (fifo && !streams) return Error(what + cannotStream);
        // A FIFO waits for its reader; a device should not make us wait.
        descriptor_ = openWaiting(path, O_WRONLY | (fifo ? 0 : O_NONBLOCK), stop_);
        if (descriptor_ == -2) return Error("interrupted while opening " + quote(target_.u8string()));
        if (descriptor_ < 0) return Error(what + systemReason(errno));
        const bool seekable = !fifo && ::lseek(descriptor_, 0, SEEK_CUR) >= 0;
        if (!fifo) {
            ::fcntl(descriptor_, F_SETFL, ::fcntl(descriptor_, F_GETFL) & ~O_NONBLOCK);
            if (!seekable && !streams) {
                ::close(descriptor_);
                descriptor_ = -1;
                return Error(what + cannotStream);
            }
        }
        direct_ = true;
        if (!seekable) return spool(what);
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
                return opened();
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
    return opened();
}

// Open: where libsndfile's file starts on the descriptor (a file standing
// open as standard output is written from where it stands).
Result<void> OutputFile::opened() {
    origin_ = 0;
    if (direct_ && stream_ < 0) origin_ = std::max<FileOffset>(0, seekTo(descriptor_, 0, SEEK_CUR));
    return Result<void>::success();
}

#if !defined(_WIN32)
Result<void> OutputFile::spool(const std::string& what) {
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
    return opened();
}
#endif

void OutputFile::commit() {
    const std::string what = "cannot write " + name() + ": ";
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
void OutputFile::copyOut(const std::string& what) {
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

void OutputFile::discard() noexcept {
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
