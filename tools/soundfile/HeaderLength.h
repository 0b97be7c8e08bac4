// HeaderLength.h - the length of audio a WAV or AIFF header promises.
#pragma once

#include <cstdint>

namespace corvane::tool {

// The bytes of audio a WAV (RIFF, RIFX, RF64) or AIFF header promises
// against the bytes the file holds after it. libsndfile reads a file cut
// short (an interrupted download) to its end and reports the shorter
// length as the file's own, so the tool checks the header itself. Nothing
// (0, 0) for other formats, for what is no regular file (the offset must
// not move on a FIFO), and for a length left open: a writer that streams
// a WAV leaves 0 or a placeholder near 2^31 or 2^32 in the header (ffmpeg,
// sox, arecord), which libsndfile reads as "to the end of the file". The
// file's offset is back at its start afterwards.
struct AudioBytes {
    std::uint64_t promised = 0;
    std::uint64_t held = 0;
};
AudioBytes headerAudioBytes(int fd);

}  // namespace corvane::tool
