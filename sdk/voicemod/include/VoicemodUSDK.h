/*
 * VoicemodUSDK.h - the voice changer's plain C interface.
 *
 * One process-wide state, no handles. Every function that returns an
 * int32_t returns a result code: 0 is success, anything else a failure that
 * vcmdGetResultDescription() turns into text. Strings are NUL-terminated,
 * narrow (UTF-8) and copied by the callee unless stated otherwise; bools are
 * one byte; counts are unsigned 32-bit.
 *
 * Threads:
 *   [any-thread]   may be called from any thread; may block briefly and may
 *                  allocate (controls, package mounting, catalogue).
 *   [audio-thread] real-time safe: no allocation, no lock, no system call,
 *                  never waits on a control call.
 *   Every function is safe to call concurrently with the audio-thread calls.
 *
 * This header is usable from C (C99 or later) and C++; from C++ every
 * function is declared noexcept.
 */
#ifndef VOICEMOD_USDK_H
#define VOICEMOD_USDK_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#if defined(VCMD_BUILDING_SDK)
#define VCMD_API __declspec(dllexport)
#else
#define VCMD_API __declspec(dllimport)
#endif
#else
#define VCMD_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define VCMD_NOEXCEPT noexcept
extern "C" {
#else
#define VCMD_NOEXCEPT
#endif

/* --- Start-up and paths ------------------------------------------------ */

/* [any-thread] Starts the SDK. `clientKey` and `clientSecret` are opaque
 * identification strings, `version` the interface version the caller was
 * built for ("1.0"). Returns 0 when started now, -94 when already started
 * (both mean the SDK is up). May allocate. */
VCMD_API int32_t vcmdInitSDK(const char* clientKey, const char* clientSecret,
                             const char* version) VCMD_NOEXCEPT;

/* [any-thread] The SDK's version text; never null, valid for the process's
 * lifetime. Works before vcmdInitSDK. Does not allocate. */
VCMD_API const char* vcmdGetVersionString(void) VCMD_NOEXCEPT;

/* Paths: every path below is UTF-8 text on every platform; on Windows it is
 * converted to the wide form, never read in the ANSI code page, so folders
 * and files named beyond ASCII work. */

/* [any-thread] Directory the SDK may use for temporary files. May allocate. */
VCMD_API int32_t vcmdSetTempPath(const char* path) VCMD_NOEXCEPT;

/* [any-thread] Directory holding the application's voice content. */
VCMD_API int32_t vcmdSetContentPath(const char* path) VCMD_NOEXCEPT;

/* [any-thread] Mounts the voice package at `path`. The three reserved
 * arguments must be 0. On success writes the package's id to *packageId
 * (mounting the same file again gives back the same id). May block on file
 * I/O and allocates. */
VCMD_API int32_t vcmdMountPackage(const char* path, int32_t reserved0,
                                  int32_t reserved1, int32_t reserved2,
                                  int32_t* packageId) VCMD_NOEXCEPT;

/* --- Catalogue ---------------------------------------------------------- */

/* [any-thread] Number of voices offered by `selector` (1: every mounted
 * voice) written to *count. */
VCMD_API int32_t vcmdGetNumberOfVoices(uint32_t selector,
                                       uint32_t* count) VCMD_NOEXCEPT;

/* [any-thread] Writes one NUL-terminated name into each of the `count`
 * buffers of `names`, each `bufferSize` bytes long, in catalogue order. */
VCMD_API int32_t vcmdGetVoiceNames(char** names, uint32_t count,
                                   uint32_t bufferSize,
                                   uint32_t selector) VCMD_NOEXCEPT;

/* --- Voice -------------------------------------------------------------- */

/* [any-thread] Makes `name` the current voice. The two reserved arguments
 * must be 0. Builds the voice off the audio thread; allocates. */
VCMD_API int32_t vcmdLoadVoice(const char* name, int32_t reserved0,
                               int32_t reserved1) VCMD_NOEXCEPT;

/* [any-thread] Writes the current voice's NUL-terminated name into `buffer`
 * of *length bytes and sets *length to the name's length without the NUL.
 * No voice loaded gives the empty name. */
VCMD_API int32_t vcmdGetCurrentVoice(char* buffer,
                                     uint32_t* length) VCMD_NOEXCEPT;

/* --- Switches (each [any-thread]) --------------------------------------- */

/* Bypass, mute and background sounds only flip a flag: no allocation.
 * Offline mode changes how the current voice is built, so switching it may
 * allocate: the bundled engine builds the voice again on the calling thread
 * and hands it to the audio thread, which never waits for it. */

VCMD_API int32_t vcmdSetBypass(bool enabled) VCMD_NOEXCEPT;
VCMD_API int32_t vcmdGetBypass(bool* enabled) VCMD_NOEXCEPT;
VCMD_API int32_t vcmdSetMute(bool enabled) VCMD_NOEXCEPT;
VCMD_API int32_t vcmdGetMute(bool* enabled) VCMD_NOEXCEPT;
VCMD_API int32_t vcmdEnableOfflineMode(bool enabled) VCMD_NOEXCEPT;
VCMD_API int32_t vcmdIsOfflineModeEnabled(bool* enabled) VCMD_NOEXCEPT;
VCMD_API int32_t vcmdEnableBackgroundSounds(bool enabled) VCMD_NOEXCEPT;
VCMD_API int32_t vcmdIsBackgroundSoundsEnabled(bool* enabled) VCMD_NOEXCEPT;

/* --- Parameters (each [any-thread], no allocation) ---------------------- */

/* Both are also [audio-thread] in the bundled engine: no lock, no
 * allocation, no system call, so a host may automate parameters from its
 * audio thread; they never wait for a voice being loaded. A vcmdSetParameter
 * that returned 0 has set the voice that was current when it returned: one
 * set before vcmdLoadVoice switched voices stays with the old voice (the new
 * voice starts at its defaults), one set after is kept by the new voice,
 * and a load that fails changes no value. The voice these calls reach is
 * the one being heard: the switch happens before the new voice sounds.
 * Another SDK may take a lock here; see its own documentation. */

/* Sets the current voice's parameter `name` to `value`. */
VCMD_API int32_t vcmdSetParameter(const char* name, float value) VCMD_NOEXCEPT;

/* Reads the current voice's parameter `name` into *value. */
VCMD_API int32_t vcmdGetParameter(const char* name, float* value) VCMD_NOEXCEPT;

/* --- Audio -------------------------------------------------------------- */

/* [any-thread] Sample rate in frames per second (8000 to 192000). A refused
 * rate keeps the previous one. May allocate: the bundled engine builds the
 * current voice again for the new rate on the calling thread and hands it
 * to the audio thread, which never waits for it. */
VCMD_API int32_t vcmdSetSampleRate(float sampleRate) VCMD_NOEXCEPT;

/* [audio-thread] Replaces `frames` samples of one channel in place. Any
 * length works (0 does nothing); a non-finite input sample is treated as
 * silence and never reaches the voice's state.
 *
 * One audio thread at a time: the voice changer has one state, so a call
 * (mono or stereo) made while another thread is inside either process
 * function does not wait; it returns VCMD_ERR_CONCURRENT_PROCESS at once and
 * leaves its samples as they came. Control calls from other threads may run
 * at any time. */
VCMD_API int32_t vcmdProcessBuffer(float* samples, uint32_t frames) VCMD_NOEXCEPT;

/* [audio-thread] Replaces `frames` samples of a stereo pair in place. The two
 * channels must be separate buffers that do not overlap. A concurrent call
 * gives VCMD_ERR_CONCURRENT_PROCESS, as for vcmdProcessBuffer. */
VCMD_API int32_t vcmdProcessStereoBuffer(float* left, float* right,
                                         uint32_t frames) VCMD_NOEXCEPT;

/* [any-thread] Text for a result code; never null. Does not allocate. */
VCMD_API const char* vcmdGetResultDescription(int32_t result) VCMD_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VOICEMOD_USDK_H */
