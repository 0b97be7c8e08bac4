#include "SoundFile.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <system_error>

#include "ToolError.h"

namespace corvane::tool {
namespace fs = std::filesystem;
namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string libsndfileReason(SNDFILE* file) {
    const char* text = sf_strerror(file);
    return text != nullptr && text[0] != '\0' ? text : "unknown libsndfile error";
}

bool formatFits(int format, int sampleRate, int channels) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = format;
    return sf_format_check(&info) == SF_TRUE;
}

bool isFloatSubtype(int subtype) { return subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE; }

}  // namespace

int containerForName(const std::string& name) {
    const std::string n = lower(name);
    if (n == "wav") return SF_FORMAT_WAV;
    if (n == "flac") return SF_FORMAT_FLAC;
    if (n == "ogg") return SF_FORMAT_OGG;
    return 0;
}

int containerForPath(const fs::path& path) {
    const std::string ext = lower(path.extension().string());
    if (ext == ".wav") return SF_FORMAT_WAV;
    if (ext == ".flac") return SF_FORMAT_FLAC;
    if (ext == ".ogg" || ext == ".oga") return SF_FORMAT_OGG;
    return 0;
}

int chooseOutputFormat(int inputFormat, int container) {
    const int major = container != 0 ? container : (inputFormat & SF_FORMAT_TYPEMASK);
    const int subtype = inputFormat & SF_FORMAT_SUBMASK;
    if (formatFits(major | subtype, 48000, 2)) return major | subtype;
    switch (major) {
        case SF_FORMAT_FLAC: {
            const bool fine = subtype == SF_FORMAT_PCM_24 || subtype == SF_FORMAT_PCM_32 || isFloatSubtype(subtype);
            return major | (fine ? SF_FORMAT_PCM_24 : SF_FORMAT_PCM_16);
        }
        case SF_FORMAT_OGG: return major | SF_FORMAT_VORBIS;
        case SF_FORMAT_WAV: return major | (isFloatSubtype(subtype) ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
        default: return major | SF_FORMAT_PCM_16;
    }
}

std::string describeFormat(int format) {
    std::string major;
    switch (format & SF_FORMAT_TYPEMASK) {
        case SF_FORMAT_WAV: major = "WAV"; break;
        case SF_FORMAT_FLAC: major = "FLAC"; break;
        case SF_FORMAT_OGG: major = "Ogg"; break;
        case SF_FORMAT_AIFF: major = "AIFF"; break;
        case SF_FORMAT_AU: major = "AU"; break;
        case SF_FORMAT_W64: major = "W64"; break;
        case SF_FORMAT_RF64: major = "RF64"; break;
        default: {
            SF_FORMAT_INFO info{};
            info.format = format & SF_FORMAT_TYPEMASK;
            major = sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof(info)) == 0 && info.name != nullptr
                        ? info.name
                        : "unknown container";
        }
    }
    std::string subtype;
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8: subtype = "8-bit PCM"; break;
        case SF_FORMAT_PCM_16: subtype = "16-bit PCM"; break;
        case SF_FORMAT_PCM_24: subtype = "24-bit PCM"; break;
        case SF_FORMAT_PCM_32: subtype = "32-bit PCM"; break;
        case SF_FORMAT_FLOAT: subtype = "32-bit float"; break;
        case SF_FORMAT_DOUBLE: subtype = "64-bit float"; break;
        case SF_FORMAT_VORBIS: subtype = "Vorbis"; break;
        case SF_FORMAT_OPUS: subtype = "Opus"; break;
        case SF_FORMAT_ULAW: subtype = "u-law"; break;
        case SF_FORMAT_ALAW: subtype = "A-law"; break;
        default: subtype = "encoding " + std::to_string(format & SF_FORMAT_SUBMASK);
    }
    return major + " " + subtype;
}

// --- SoundFileReader -----------------------------------------------------------

SoundFileReader::SoundFileReader(const fs::path& path) : path_(path) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) throw ToolError("cannot read " + quote(path.string()) + ": it is a folder");
    file_ = sf_open(path.c_str(), SFM_READ, &info_);
    if (file_ == nullptr) throw ToolError("cannot read " + quote(path.string()) + ": " + libsndfileReason(nullptr));
    if (info_.channels < 1 || info_.samplerate < 1) {
        sf_close(file_);
        file_ = nullptr;
        throw ToolError("cannot read " + quote(path.string()) + ": it has no audio channels");
    }
}

SoundFileReader::~SoundFileReader() {
    if (file_ != nullptr) sf_close(file_);
}

AudioBusFormat SoundFileReader::getFormat() const { return AudioBusFormat{sampleRate(), channels(), 0}; }

Result<void> SoundFileReader::prepare(const AudioBusFormat& format) {
    if (format.numberOfChannels != channels())
        return Error("cannot read " + quote(path_.string()) + " as " + std::to_string(format.numberOfChannels) +
                     " channel(s)");
    interleaved_.assign(static_cast<std::size_t>(channels()) * format.framesPerBlock, 0.0f);
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
            const sf_count_t n = sf_readf_float(file_, interleaved_.data(), asked);
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
    return "cannot read " + quote(path_.string()) + ": " + libsndfileReason(file_);
}

// --- SoundFileWriter -----------------------------------------------------------

SoundFileWriter::SoundFileWriter(fs::path target, int format) : target_(std::move(target)), format_(format) {
    const std::string hidden =
        "." + target_.filename().string() + ".partial-" + std::to_string(static_cast<long>(::getpid()));
    temporary_ = target_.parent_path() / hidden;
}

SoundFileWriter::~SoundFileWriter() {
    if (!committed_) discard();
}

Result<void> SoundFileWriter::prepare(const AudioBusFormat& format) {
    discard();
    const std::string what = "cannot write " + quote(target_.string()) + ": ";
    SF_INFO info{};
    info.samplerate = static_cast<int>(format.sampleRate);
    info.channels = static_cast<int>(format.numberOfChannels);
    info.format = format_;
    if (sf_format_check(&info) != SF_TRUE)
        return Error(what + describeFormat(format_) + " cannot hold " + std::to_string(format.numberOfChannels) +
                     " channel(s) at " + std::to_string(format.sampleRate) + " Hz");
    std::error_code ec;
    if (fs::is_directory(target_, ec)) return Error(what + "it is a folder");
    file_ = sf_open(temporary_.c_str(), SFM_WRITE, &info);
    if (file_ == nullptr) return Error(what + libsndfileReason(nullptr));
    sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    interleaved_.assign(static_cast<std::size_t>(format.numberOfChannels) * format.framesPerBlock, 0.0f);
    written_ = 0;
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
    for (std::uint32_t c = 0; c < channels; ++c) {
        const float* in = block.getReadPointer(c) + start;
        for (std::uint32_t i = 0; i < count; ++i) interleaved_[i * channels + c] = in[i];
    }
    if (sf_writef_float(file_, interleaved_.data(), count) != static_cast<sf_count_t>(count)) return false;
    written_ += count;
    return true;
}

void SoundFileWriter::commit() {
    const std::string what = "cannot write " + quote(target_.string()) + ": ";
    if (file_ == nullptr) throw ToolError(what + "nothing was written");
    const int closed = sf_close(file_);
    file_ = nullptr;
    if (closed != 0) {
        discard();
        throw ToolError(what + sf_error_number(closed));
    }
    std::error_code ec;
    fs::rename(temporary_, target_, ec);
    if (ec) {
        discard();
        throw ToolError(what + ec.message());
    }
    committed_ = true;
}

std::string SoundFileWriter::failure() const {
    return "cannot write " + quote(target_.string()) + ": " + libsndfileReason(file_);
}

void SoundFileWriter::discard() noexcept {
    if (file_ != nullptr) {
        sf_close(file_);
        file_ = nullptr;
    }
    std::error_code ec;
    fs::remove(temporary_, ec);
}

}  // namespace corvane::tool
