// Sonogram.cpp - see Sonogram.h.
#include "demo/Sonogram.h"

#include <algorithm>
#include <cmath>
#include <complex>

#include "soundfile/SoundFile.h"
#include "platform/ToolError.h"

namespace corvane::tool {

namespace {

constexpr double kPi = 3.14159265358979323846;

// In-place iterative radix-2 FFT; size a power of two.
void fft(std::vector<std::complex<double>>& x) {
    const std::size_t n = x.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(x[i], x[j]);
    }
    for (std::size_t length = 2; length <= n; length <<= 1) {
        const std::complex<double> step = std::polar(1.0, -2.0 * kPi / static_cast<double>(length));
        for (std::size_t start = 0; start < n; start += length) {
            std::complex<double> w = 1.0;
            for (std::size_t k = 0; k < length / 2; ++k, w *= step) {
                const std::complex<double> a = x[start + k], b = x[start + k + length / 2] * w;
                x[start + k] = a + b;
                x[start + k + length / 2] = a - b;
            }
        }
    }
}

}  // namespace

const std::vector<Rgb>& spectrogramPalette() {
    static const std::vector<Rgb> palette = [] {
        // Anchors of a perceptually even map from black to pale yellow.
        const Rgb anchors[] = {{0, 0, 4},      {40, 11, 84},  {101, 21, 110}, {159, 42, 99},
                               {212, 72, 66},  {245, 125, 21}, {250, 193, 39}, {252, 255, 164}};
        constexpr int kAnchors = sizeof(anchors) / sizeof(anchors[0]);
        std::vector<Rgb> colours(256);
        for (int i = 0; i < 256; ++i) {
            const double position = i / 255.0 * (kAnchors - 1);
            const int a = std::min(static_cast<int>(position), kAnchors - 2);
            const double t = position - a;
            const auto mix = [&](std::uint8_t from, std::uint8_t to) {
                return static_cast<std::uint8_t>(std::lround(from + (to - from) * t));
            };
            colours[static_cast<std::size_t>(i)] = {mix(anchors[a].r, anchors[a + 1].r),
                                                    mix(anchors[a].g, anchors[a + 1].g),
                                                    mix(anchors[a].b, anchors[a + 1].b)};
        }
        return colours;
    }();
    return palette;
}

IndexedPicture spectrogram(const std::vector<float>& mono, double sampleRate, const SpectrogramScale& scale) {
    IndexedPicture picture;
    const double seconds = sampleRate > 0.0 ? static_cast<double>(mono.size()) / sampleRate : 0.0;
    picture.width = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::ceil(seconds * scale.columnsPerSecond)));
    picture.height = scale.rows;
    picture.palette = spectrogramPalette();
    picture.pixels.assign(static_cast<std::size_t>(picture.width) * picture.height, 0);
    if (mono.empty() || sampleRate <= 0.0) return picture;

    std::size_t size = 16;  // about 21 ms: 1024 at 48 kHz
    while (static_cast<double>(size) < 0.021 * sampleRate) size <<= 1;
    std::vector<double> window(size);
    double windowSum = 0.0;
    for (std::size_t i = 0; i < size; ++i) {
        window[i] = 0.5 - 0.5 * std::cos(2.0 * kPi * (static_cast<double>(i) + 0.5) / static_cast<double>(size));
        windowSum += window[i];
    }
    // A full-scale sine's bin holds windowSum / 2: that is 0 dB.
    const double reference = windowSum / 2.0;
    const std::size_t bins = size / 2 + 1;
    const double binHz = sampleRate / static_cast<double>(size);
    const double rowHz = scale.topFrequency / scale.rows;

    std::vector<std::complex<double>> frame(size);
    std::vector<double> power(bins);
    for (std::uint32_t column = 0; column < picture.width; ++column) {
        const double centre = (column + 0.5) / scale.columnsPerSecond * sampleRate;
        const auto first = static_cast<long long>(std::llround(centre)) - static_cast<long long>(size / 2);
        for (std::size_t i = 0; i < size; ++i) {
            const long long at = first + static_cast<long long>(i);
            const double sample = at >= 0 && at < static_cast<long long>(mono.size()) ? mono[static_cast<std::size_t>(at)] : 0.0;
            frame[i] = sample * window[i];
        }
        fft(frame);
        for (std::size_t k = 0; k < bins; ++k) power[k] = std::norm(frame[k]);
        for (std::uint32_t row = 0; row < scale.rows; ++row) {
            const double low = row * rowHz, high = (row + 1) * rowHz;
            if (low >= sampleRate / 2.0) break;  // above Nyquist: floor colour
            // The bins whose centres fall in the band, or the nearest one when the band is narrower than a bin.
            auto from = static_cast<std::size_t>(std::ceil(low / binHz));
            auto to = static_cast<std::size_t>(std::ceil(high / binHz));
            if (to <= from) to = from + 1;
            double strongest = 0.0;
            for (std::size_t k = from; k < to && k < bins; ++k) strongest = std::max(strongest, power[k]);
            const double db = 10.0 * std::log10(strongest / (reference * reference) + 1e-30);
            const double t = (db - scale.floorDb) / (scale.ceilingDb - scale.floorDb);
            const auto index = static_cast<std::uint8_t>(std::lround(std::clamp(t, 0.0, 1.0) * 255.0));
            picture.pixels[static_cast<std::size_t>(scale.rows - 1 - row) * picture.width + column] = index;
        }
    }
    return picture;
}

std::vector<float> readMono(const std::filesystem::path& path, double& sampleRate) {
    SoundFileReader reader(path);
    const std::uint32_t channels = reader.channels();
    constexpr std::uint32_t kBlock = 4096;
    if (!reader.prepare(AudioBusFormat{reader.sampleRate(), channels, kBlock}).isSuccess())
        throw ToolError("cannot read " + quote(path.u8string()));
    sampleRate = reader.sampleRate();
    std::vector<float> mono;
    mono.reserve(static_cast<std::size_t>(reader.frames()));
    AudioBuffer<float> block(channels, kBlock);
    for (;;) {
        block.setNumberOfFrames(kBlock);
        const std::uint32_t got = reader.read(block);
        for (std::uint32_t i = 0; i < got; ++i) {
            float sum = 0.0f;
            for (std::uint32_t c = 0; c < channels; ++c) sum += block.getReadPointer(c)[i];
            mono.push_back(sum / static_cast<float>(channels));
        }
        if (got < kBlock) break;
    }
    if (reader.failed()) throw ToolError(reader.failure());
    return mono;
}

}  // namespace corvane::tool
