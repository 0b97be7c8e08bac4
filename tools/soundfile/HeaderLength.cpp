// HeaderLength.cpp - see HeaderLength.h.
#include "soundfile/HeaderLength.h"

#include <stdio.h>  // SEEK_SET
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>

#include "platform/Descriptors.h"

namespace corvane::tool {
namespace {

// Up to `count` bytes at `offset` of a file; false when fewer are there.
bool readAt(int fd, FileOffset offset, unsigned char* into, unsigned count) {
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

}  // namespace

AudioBytes headerAudioBytes(int fd) {
    AudioBytes found;
    const FileOffset size = sizeOf(fd);
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
    FileOffset at = 12;
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
        at += static_cast<FileOffset>(8 + length + (length & 1));
    }
    seekTo(fd, 0, SEEK_SET);
    return found;
}

}  // namespace corvane::tool
