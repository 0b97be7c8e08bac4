/*
 * VoicemodUSDKExtras.h - functions only the bundled voice engine offers,
 * for its tests, the command-line tool and the benchmarks. The vendor SDK
 * has none of these, so the plug-in library does not link them: it looks
 * vcmdGetLatencyFrames, vcmdGetVoiceParameterCount and vcmdGetVoiceParameter
 * up by name in the voice changer it runs with, and its latency and
 * parameter queries answer "not known" where they are missing.
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

/* [any-thread] Number of parameters of the mounted voice `voice` written to
 * *count. Unknown name: VCMD_ERR_UNKNOWN_VOICE. Takes the control lock (a
 * voice being built or a package being mounted delays it); no allocation. */
VCMD_API int32_t vcmdGetVoiceParameterCount(const char* voice,
                                            uint32_t* count) VCMD_NOEXCEPT;

/* [any-thread] Parameter `index` (0 to count - 1, in the voice's order) of
 * the mounted voice `voice`: its NUL-terminated name into `name` of
 * *nameLength bytes and its unit ("" when it has none) into `unit` of
 * *unitLength bytes, with both lengths set to the texts' lengths without
 * the NUL, and its range and default value into the three floats. When
 * either buffer is too small, returns VCMD_ERR_BUFFER_TOO_SMALL, writes
 * nothing and sets both lengths to the sizes needed, NUL included. Unknown
 * name: VCMD_ERR_UNKNOWN_VOICE; index past the last parameter:
 * VCMD_ERR_INVALID_ARGUMENT. Takes the control lock; no allocation. */
VCMD_API int32_t vcmdGetVoiceParameter(const char* voice, uint32_t index,
                                       char* name, uint32_t* nameLength,
                                       char* unit, uint32_t* unitLength,
                                       float* minimum, float* maximum,
                                       float* defaultValue) VCMD_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VOICEMOD_USDK_EXTRAS_H */
