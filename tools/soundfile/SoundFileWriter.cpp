// SoundFileWriter.cpp - see SoundFile.h: the writer's audio, and the I/O
// through which it checks every byte libsndfile writes. Where the bytes go
// is the output file's business (platform/OutputFile.h).
#include "soundfile/SoundFile.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/Descriptors.h"
#include "platform/ToolError.h"
#include "soundfile/LibraryText.h"

namespace corvane::tool {
namespace fs = std::filesystem;

SoundFileWriter::SoundFileWriter(fs::path target, int format, const std::atomic<bool>* stop)
    : output_(std::move(target), stop), format_(format) {}

SoundFileWriter::~SoundFileWriter() {
    if (!committed_) discard();
}

std::string SoundFileWriter::name() const { return output_.name(); }

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
        if (Result<void> opened = output_.open(describeFormat(format_), formatStreams(format_)); opened.isError())
            return opened;
        if (Result<void> started = startFile(info, what); started.isError()) return started;
        sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
        info_ = info;
    }
    interleaved_.assign(static_cast<std::size_t>(format.numberOfChannels) * format.framesPerBlock, 0.0f);
    if (exact_ != nullptr) exactBlock_.assign(interleaved_.size(), 0.0);
    written_ = 0;
    return Result<void>::success();
}

// libsndfile's virtual I/O on the output's descriptor, as libsndfile itself
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
    static sf_count_t length(void* self) {
        const OutputFile& out = of(self).output_;
        return std::max<FileOffset>(0, sizeOf(out.descriptor()) - out.origin());
    }
    static sf_count_t seek(sf_count_t offset, int whence, void* self) {
        const OutputFile& out = of(self).output_;
        const FileOffset at = seekTo(out.descriptor(), whence == SEEK_SET ? offset + out.origin() : offset, whence);
        return at < 0 ? -1 : at - out.origin();
    }
    static sf_count_t tell(void* self) { return seek(0, SEEK_CUR, self); }
    static sf_count_t read(void* data, sf_count_t count, void* self) {
        for (;;) {
            const auto n = ::read(of(self).output_.descriptor(), data, static_cast<unsigned>(std::min<sf_count_t>(count, 1 << 30)));
            if (n >= 0 || errno != EINTR) return n < 0 ? 0 : n;
        }
    }
    static sf_count_t write(const void* data, sf_count_t count, void* self) {
        SoundFileWriter& w = of(self);
        for (sf_count_t put = 0; put < count && w.writeError_ == 0;) {
            const auto n = ::write(w.output_.descriptor(), static_cast<const char*>(data) + put,
                                   static_cast<unsigned>(std::min<sf_count_t>(count - put, 1 << 30)));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) w.writeError_ = n < 0 ? errno : EIO;
            else put += n;
        }
        return count;
    }
};

Result<void> SoundFileWriter::startFile(SF_INFO& info, const std::string& what) {
    // libsndfile writes on the descriptor the output file chose, through Io;
    // failing, nothing of it is left behind.
    writeError_ = 0;
    SF_VIRTUAL_IO io{&Io::length, &Io::seek, &Io::read, &Io::write, &Io::tell};
    file_ = sf_open_virtual(&io, SFM_WRITE, &info, this);
    if (file_ == nullptr) {
        const std::string why = reason(sf_error(nullptr));
        discard();
        return Error(what + why);
    }
    return Result<void>::success();
}

std::string SoundFileWriter::reason(int libraryError) const {
    if (writeError_ != 0)
        return (output_.spooled() ? "cannot make it in a temporary file: " : "") + systemReason(writeError_);
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
    output_.commit();
    committed_ = true;
}

std::string SoundFileWriter::failure() const { return "cannot write " + name() + ": " + reason(0); }

void SoundFileWriter::discard() noexcept {
    if (file_ != nullptr) {
        sf_close(file_);
        file_ = nullptr;
    }
    output_.discard();
}

}  // namespace corvane::tool
