// SoundFormat.cpp - see SoundFormat.h.
#include "soundfile/SoundFormat.h"

#include <cctype>

namespace corvane::tool {
namespace fs = std::filesystem;
namespace {

bool formatFits(int format, int sampleRate, int channels) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = format;
    return sf_format_check(&info) == SF_TRUE;
}

bool isFloatSubtype(int subtype) { return subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE; }

}  // namespace

std::string asciiLower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool containerAvailable(int container) {
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO info{};
        info.format = i;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info) == 0 &&
            (info.format & SF_FORMAT_TYPEMASK) == container)
            return true;
    }
    return false;
}

int containerForName(const std::string& name) {
    const std::string n = asciiLower(name);
    if (n == "wav") return SF_FORMAT_WAV;
    if (n == "flac") return SF_FORMAT_FLAC;
    if (n == "ogg") return SF_FORMAT_OGG;
    if (n == "mp3") return SF_FORMAT_MPEG;
    return 0;
}

int containerForPath(const fs::path& path) {
    const std::string ext = asciiLower(path.extension().u8string());
    if (ext == ".wav") return SF_FORMAT_WAV;
    if (ext == ".flac") return SF_FORMAT_FLAC;
    if (ext == ".ogg" || ext == ".oga") return SF_FORMAT_OGG;
    if (ext == ".mp3") return SF_FORMAT_MPEG;
    return 0;
}


int chooseOutputFormat(int inputFormat, int container) {
    const int inputMajor = inputFormat & SF_FORMAT_TYPEMASK;
    const int major = container != 0 ? container : inputMajor;
    const int subtype = inputFormat & SF_FORMAT_SUBMASK;
    // An encoding goes into another container only when it is plain
    // samples: a compressed one (MP3, Vorbis, Opus) belongs to its own.
    const bool plain = subtype == SF_FORMAT_PCM_S8 || subtype == SF_FORMAT_PCM_U8 || subtype == SF_FORMAT_PCM_16 ||
                       subtype == SF_FORMAT_PCM_24 || subtype == SF_FORMAT_PCM_32 || isFloatSubtype(subtype) ||
                       subtype == SF_FORMAT_ULAW || subtype == SF_FORMAT_ALAW;
    if ((plain || major == inputMajor) && formatFits(major | subtype, 48000, 2)) return major | subtype;
    switch (major) {
        case SF_FORMAT_MPEG: return major | SF_FORMAT_MPEG_LAYER_III;
        case SF_FORMAT_FLAC: {
            const bool fine = subtype == SF_FORMAT_PCM_24 || subtype == SF_FORMAT_PCM_32 || isFloatSubtype(subtype);
            return major | (fine ? SF_FORMAT_PCM_24 : SF_FORMAT_PCM_16);
        }
        case SF_FORMAT_OGG: return major | SF_FORMAT_VORBIS;
        case SF_FORMAT_WAV: return major | (isFloatSubtype(subtype) ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
        default: return major | SF_FORMAT_PCM_16;
    }
}

bool formatStreams(int format) {
    switch (format & SF_FORMAT_TYPEMASK) {
        case SF_FORMAT_FLAC:
        case SF_FORMAT_OGG:
        case SF_FORMAT_MPEG:
        case SF_FORMAT_AU:
        case SF_FORMAT_RAW: return true;
        default: return false;
    }
}

bool keepsExactSamples(int inputFormat, int outputFormat) {
    const int subtype = inputFormat & SF_FORMAT_SUBMASK;
    return (subtype == SF_FORMAT_PCM_32 || subtype == SF_FORMAT_DOUBLE) &&
           (outputFormat & SF_FORMAT_SUBMASK) == subtype;
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
        case SF_FORMAT_MPEG:
            if ((format & SF_FORMAT_SUBMASK) == SF_FORMAT_MPEG_LAYER_III) return "MP3";
            major = "MPEG";
            break;
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
        case SF_FORMAT_MPEG_LAYER_I: subtype = "Layer I"; break;
        case SF_FORMAT_MPEG_LAYER_II: subtype = "Layer II"; break;
        case SF_FORMAT_MPEG_LAYER_III: subtype = "Layer III"; break;
        default: subtype = "encoding " + std::to_string(format & SF_FORMAT_SUBMASK);
    }
    return major + " " + subtype;
}

}  // namespace corvane::tool
