/*
 * VoicemodUSDKExtras.h - functions only the bundled voice engine offers,
 * for its tests, the command-line tool and the benchmarks. The plug-in
 * library never includes this header, so it still builds against the vendor
 * SDK, which has none of these.
 *
 * Same conventions as VoicemodUSDK.h: C linkage, noexcept from C++, result
 * codes from VoicemodUSDKResults.h, out-values written only on success.
 */
#ifndef VOICEMOD_USDK_EXTRAS_H
#define VOICEMOD_USDK_EXTRAS_H

#include "VoicemodUSDK.h"

#ifdef __cplusplus
extern "C" {
#endif

/* [any-thread, but never while a process function runs] Returns the engine
 * to its never-started state: every package unmounted, no voice, switches,
 * paths and sample rate back to their defaults, vcmdInitSDK answering 0
 * again. Meant for test fixtures, since the engine is process-wide. */
VCMD_API void vcmdResetForTesting(void) VCMD_NOEXCEPT;

/* [any-thread] Writes a JSON object describing the mounted voice `name` into
 * `buffer` of *length bytes, NUL-terminated, and sets *length to the text's
 * length without the NUL. The object reads
 *   {"name": "...", "package": "/canonical/path.zvmd", "packageId": 1,
 *    "description": "...", "background": true,
 *    "parameters": [{"name": "...", "minimum": 0, "maximum": 1,
 *                    "default": 0.5, "unit": "..."}]}
 * When the buffer is too small, returns VCMD_ERR_BUFFER_TOO_SMALL, writes
 * nothing into `buffer` and sets *length to the size needed, NUL included.
 * Unknown name: VCMD_ERR_UNKNOWN_VOICE. Allocates. */
VCMD_API int32_t vcmdGetVoiceInfoJson(const char* name, char* buffer,
                                      uint32_t* length) VCMD_NOEXCEPT;

/* [any-thread] Delay in frames that the voice most recently loaded adds at
 * the current sample rate and mode (0 without a voice), i.e. how far its
 * output lags its input. Does not allocate. */
VCMD_API int32_t vcmdGetLatencyFrames(uint32_t* frames) VCMD_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VOICEMOD_USDK_EXTRAS_H */
