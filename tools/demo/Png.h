// Png.h - a palette picture written as a PNG file, with nothing but the
// standard library (the demo page's spectrograms).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace corvane::tool {

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
};

// One byte per pixel, an index into a palette of up to 256 colours; rows
// from the top.
struct IndexedPicture {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> pixels;  // width * height
    std::vector<Rgb> palette;          // 1..256 colours
};

// The PNG file's bytes: 8-bit indexed colour, one IDAT chunk whose zlib
// stream is a single deflate block of fixed Huffman codes with greedy LZ77
// matches (runs of one colour and rows like the one above shrink; the rest
// stays about its own size).
std::vector<std::uint8_t> encodePng(const IndexedPicture& picture);

// The zlib stream (RFC 1950/1951) of `data` as encodePng writes it; exposed
// for the tests.
std::vector<std::uint8_t> deflateFixed(const std::vector<std::uint8_t>& data);

}  // namespace corvane::tool
