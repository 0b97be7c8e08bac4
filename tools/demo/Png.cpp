#include "demo/Png.h"

#include <algorithm>
#include <stdexcept>

namespace corvane::tool {

namespace {

std::uint32_t crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

void putBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// Bits go out least significant first; Huffman codes most significant first.
class BitWriter {
public:
    explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out) {}
    void bits(std::uint32_t value, int count) {
        for (int i = 0; i < count; ++i) {
            byte_ |= static_cast<std::uint8_t>(((value >> i) & 1u) << used_);
            if (++used_ == 8) flush();
        }
    }
    void code(std::uint32_t value, int length) {
        for (int i = length - 1; i >= 0; --i) bits((value >> i) & 1u, 1);
    }
    void flush() {
        if (used_ == 0) return;
        out_.push_back(byte_);
        byte_ = 0;
        used_ = 0;
    }

private:
    std::vector<std::uint8_t>& out_;
    std::uint8_t byte_ = 0;
    int used_ = 0;
};

// The fixed literal/length code of RFC 1951, 3.2.6.
void literalOrLength(BitWriter& w, int symbol) {
    if (symbol < 144) w.code(0x30u + static_cast<std::uint32_t>(symbol), 8);
    else if (symbol < 256) w.code(0x190u + static_cast<std::uint32_t>(symbol - 144), 9);
    else if (symbol < 280) w.code(static_cast<std::uint32_t>(symbol - 256), 7);
    else w.code(0xC0u + static_cast<std::uint32_t>(symbol - 280), 8);
}

constexpr int kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr int kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr int kDistanceBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                   193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr int kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

void match(BitWriter& w, int length, int distance) {
    int l = 28;
    while (kLengthBase[l] > length) --l;
    literalOrLength(w, 257 + l);
    w.bits(static_cast<std::uint32_t>(length - kLengthBase[l]), kLengthExtra[l]);
    int d = 29;
    while (kDistanceBase[d] > distance) --d;
    w.code(static_cast<std::uint32_t>(d), 5);
    w.bits(static_cast<std::uint32_t>(distance - kDistanceBase[d]), kDistanceExtra[d]);
}

}  // namespace

std::vector<std::uint8_t> deflateFixed(const std::vector<std::uint8_t>& data) {
    constexpr int kWindow = 32768, kMinMatch = 3, kMaxMatch = 258, kChain = 64;
    constexpr std::size_t kHashSize = 1u << 15;
    std::vector<std::uint8_t> out{0x78, 0x01};  // deflate, 32 KiB window, no dictionary
    BitWriter w(out);
    w.bits(1, 1);  // the final block
    w.bits(1, 2);  // fixed Huffman codes

    // head: the latest position of each 3-byte hash; previous: the one before
    // at the same hash, so candidates are walked newest first.
    std::vector<int> head(kHashSize, -1), previous(data.size(), -1);
    const auto hash = [&](std::size_t i) {
        return ((static_cast<std::size_t>(data[i]) << 10) ^ (static_cast<std::size_t>(data[i + 1]) << 5) ^
                data[i + 2]) & (kHashSize - 1);
    };
    const auto insert = [&](std::size_t i) {
        if (i + kMinMatch > data.size()) return;
        const std::size_t h = hash(i);
        previous[i] = head[h];
        head[h] = static_cast<int>(i);
    };
    std::size_t i = 0;
    while (i < data.size()) {
        int bestLength = 0, bestDistance = 0;
        if (i + kMinMatch <= data.size()) {
            const std::size_t limit = std::min<std::size_t>(kMaxMatch, data.size() - i);
            int candidate = head[hash(i)];
            for (int tries = 0; candidate >= 0 && tries < kChain; ++tries, candidate = previous[candidate]) {
                const auto c = static_cast<std::size_t>(candidate);
                if (i - c > static_cast<std::size_t>(kWindow)) break;
                std::size_t length = 0;
                while (length < limit && data[c + length] == data[i + length]) ++length;
                if (static_cast<int>(length) > bestLength) {
                    bestLength = static_cast<int>(length);
                    bestDistance = static_cast<int>(i - c);
                    if (length == limit) break;
                }
            }
        }
        if (bestLength >= kMinMatch) {
            match(w, bestLength, bestDistance);
            for (int k = 0; k < bestLength; ++k) insert(i + static_cast<std::size_t>(k));
            i += static_cast<std::size_t>(bestLength);
        } else {
            literalOrLength(w, data[i]);
            insert(i);
            ++i;
        }
    }
    literalOrLength(w, 256);  // end of block
    w.flush();

    std::uint32_t a = 1, b = 0;
    for (std::uint8_t byte : data) {
        a = (a + byte) % 65521u;
        b = (b + a) % 65521u;
    }
    putBigEndian(out, (b << 16) | a);
    return out;
}

std::vector<std::uint8_t> encodePng(const IndexedPicture& picture) {
    if (picture.width == 0 || picture.height == 0 ||
        picture.pixels.size() != static_cast<std::size_t>(picture.width) * picture.height ||
        picture.palette.empty() || picture.palette.size() > 256)
        throw std::invalid_argument("encodePng: inconsistent picture");
    for (std::uint8_t p : picture.pixels)
        if (p >= picture.palette.size()) throw std::invalid_argument("encodePng: pixel outside the palette");

    std::vector<std::uint8_t> file{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    const auto chunk = [&](const char* type, const std::vector<std::uint8_t>& body) {
        putBigEndian(file, static_cast<std::uint32_t>(body.size()));
        const std::size_t start = file.size();
        file.insert(file.end(), type, type + 4);
        file.insert(file.end(), body.begin(), body.end());
        putBigEndian(file, crc32(file.data() + start, file.size() - start));
    };

    std::vector<std::uint8_t> header;
    putBigEndian(header, picture.width);
    putBigEndian(header, picture.height);
    header.insert(header.end(), {8, 3, 0, 0, 0});  // 8 bits, palette, deflate, adaptive filters, no interlace
    chunk("IHDR", header);

    std::vector<std::uint8_t> palette;
    for (const Rgb& c : picture.palette) palette.insert(palette.end(), {c.r, c.g, c.b});
    chunk("PLTE", palette);

    // Each row: filter type 0 (none, as the format advises for palettes), then its pixels.
    std::vector<std::uint8_t> rows;
    rows.reserve(picture.pixels.size() + picture.height);
    for (std::uint32_t y = 0; y < picture.height; ++y) {
        rows.push_back(0);
        const auto* row = picture.pixels.data() + static_cast<std::size_t>(y) * picture.width;
        rows.insert(rows.end(), row, row + picture.width);
    }
    chunk("IDAT", deflateFixed(rows));
    chunk("IEND", {});
    return file;
}

}  // namespace corvane::tool
