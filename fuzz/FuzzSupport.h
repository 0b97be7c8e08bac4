// FuzzSupport.h - what the fuzz targets share: reading values out of the
// fuzzer's bytes, the checks that end a run with a report, and the rules for
// the engine's audio output.
#pragma once

#include <VoicemodUSDK.h>
#include <VoicemodUSDKResults.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzzsupport {

// Ends the run with a message; libFuzzer records the input that did it.
[[noreturn]] inline void fail(const char* what, long detail = 0) {
    std::fprintf(stderr, "fuzz check failed: %s (%ld)\n", what, detail);
    std::abort();
}

inline void require(bool condition, const char* what, long detail = 0) {
    if (!condition) fail(what, detail);
}

// Every result code is one of the engine's table or "already started".
inline void requireKnownCode(std::int32_t code, const char* call) {
    if (code == VCMD_ALREADY_STARTED || (code <= 0 && code >= VCMD_RESULT_LAST)) {
        const char* text = vcmdGetResultDescription(code);
        require(text != nullptr && text[0] != '\0', "a result code without a description", code);
        return;
    }
    std::fprintf(stderr, "%s returned %d\n", call, code);
    fail("unknown result code", code);
}

// Output of a voice: finite everywhere.
inline void requireFinite(const float* x, std::uint32_t n, const char* where) {
    for (std::uint32_t i = 0; i < n; ++i)
        if (!std::isfinite(x[i])) fail(where, static_cast<long>(i));
}

// Reads typed values off the front of the input; past its end every read
// gives zero, so any input is a complete program.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

    bool empty() const { return p_ >= end_; }
    std::uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return v;
    }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    bool flag() { return (byte() & 1) != 0; }

    // A float chosen to hit the edges: specials, subnormals, range ends, or raw bits.
    float value(float lo, float hi) {
        switch (byte() % 12) {
            case 0: return std::nanf("");
            case 1: return INFINITY;
            case 2: return -INFINITY;
            case 3: return 1e-40f;
            case 4: return lo;
            case 5: return hi;
            case 6: return std::nextafter(lo, -INFINITY);
            case 7: return std::nextafter(hi, INFINITY);
            case 8: {
                const std::uint32_t bits = u32();
                float f;
                std::memcpy(&f, &bits, sizeof f);
                return f;
            }
            default: return lo + (hi - lo) * static_cast<float>(byte()) / 255.0f;
        }
    }

    // Up to 255 bytes of text (NUL bytes may be inside: the engine sees the
    // part before the first one).
    std::string text() {
        const std::size_t n = byte();
        std::string s;
        for (std::size_t i = 0; i < n && !empty(); ++i) s.push_back(static_cast<char>(byte()));
        return s;
    }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

}  // namespace fuzzsupport
