// MicCycle.cpp - runMicCycle (VirtualMic.h): one cycle of the virtual
// microphone on the buffers PipeWire hands over.
#include "virtualmic/VirtualMic.h"

// PipeWire's C API is largely macros built on GNU statement expressions and
// C99 compound literals, which clang's -Wpedantic names where they expand.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wgnu-statement-expression-from-macro-expansion"
#pragma clang diagnostic ignored "-Wc99-extensions"
#endif

#include <spa/buffer/buffer.h>
#include <spa/utils/defs.h>

#include <algorithm>

namespace corvane::tool {

std::uint64_t runMicCycle(LiveBlock& block, const spa_data* input, spa_data* voice, spa_data* speakers,
                          std::uint64_t frames, bool xrun, float* scratch) noexcept CORVANE_LIVE_NONBLOCKING {
    // The microphone's samples, only within its buffer (the chunk's offset
    // and size clamped to its maxsize, as PipeWire's loopback does; an
    // offset between two samples is no sample at all).
    std::uint64_t given = 0;
    const float* samples = nullptr;
    if (input != nullptr && input->data != nullptr && input->chunk != nullptr &&
        input->chunk->offset % sizeof(float) == 0) {
        const std::uint32_t offset = std::min(input->chunk->offset, input->maxsize);
        const std::uint32_t size = std::min(input->chunk->size, input->maxsize - offset);
        samples = static_cast<const float*>(SPA_PTROFF(input->data, offset, void));
        given = size / sizeof(float);
    }
    if (frames == 0) frames = given;
    const auto room = [](const spa_data* data) -> std::uint64_t {
        return data != nullptr && data->data != nullptr ? data->maxsize / sizeof(float)
                                                        : kVirtualMicLongestCycle;
    };
    frames = std::min<std::uint64_t>({frames, room(voice), room(speakers), kVirtualMicLongestCycle});
    // Every output chunk is set, so a buffer is never handed on with the
    // samples of an earlier cycle.
    for (spa_data* data : {voice, speakers}) {
        if (data == nullptr || data->chunk == nullptr) continue;
        data->chunk->offset = 0;
        data->chunk->stride = sizeof(float);
        data->chunk->size = data->data != nullptr ? static_cast<std::uint32_t>(frames * sizeof(float)) : 0;
    }
    if (frames == 0) return 0;
    // Fewer samples than the cycle, or none: silence for the rest.
    if (samples != nullptr && given < frames) {
        float* padded = scratch + 2 * kVirtualMicLongestCycle;
        std::copy(samples, samples + given, padded);
        std::fill(padded + given, padded + frames, 0.0f);
        samples = padded;
    }
    const float* inputs[1] = {samples};
    float* outputs[2] = {
        voice != nullptr && voice->data != nullptr ? static_cast<float*>(voice->data) : scratch,
        speakers != nullptr && speakers->data != nullptr ? static_cast<float*>(speakers->data)
                                                         : scratch + kVirtualMicLongestCycle};
    block.process(inputs, outputs, static_cast<unsigned long>(frames), xrun);
    return frames;
}

}  // namespace corvane::tool
