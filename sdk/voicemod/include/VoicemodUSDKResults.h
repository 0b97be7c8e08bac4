/*
 * VoicemodUSDKResults.h - the result codes of the bundled voice-changer
 * engine. The plug-in library never includes this header: it only compares
 * codes with 0 (and -94 at start-up) and asks vcmdGetResultDescription() for
 * text, so it builds unchanged against the vendor SDK. Tests, tools and
 * benchmarks of the bundled engine use these names.
 *
 * Every code has exactly one row in the engine's description table; the
 * table test walks every value from VCMD_RESULT_LAST to VCMD_OK.
 */
#ifndef VOICEMOD_USDK_RESULTS_H
#define VOICEMOD_USDK_RESULTS_H

enum vcmdResultCode {
    VCMD_OK = 0,
    VCMD_ERR_NOT_STARTED = -1,
    VCMD_ERR_INVALID_ARGUMENT = -2,
    VCMD_ERR_NULL_POINTER = -3,
    VCMD_ERR_NO_SUCH_FILE = -4,
    VCMD_ERR_INVALID_PACKAGE = -5,
    VCMD_ERR_UNKNOWN_VOICE = -6,
    VCMD_ERR_UNKNOWN_PARAMETER = -7,
    VCMD_ERR_VALUE_OUT_OF_RANGE = -8,
    VCMD_ERR_BUFFER_TOO_SMALL = -9,
    VCMD_ERR_UNSUPPORTED_SAMPLE_RATE = -10,
    VCMD_ERR_OUT_OF_MEMORY = -11,
    VCMD_ERR_INTERNAL = -12,
    /* A process function was called while another thread was inside one;
     * that call's samples are left as they came. */
    VCMD_ERR_CONCURRENT_PROCESS = -13,
    VCMD_RESULT_LAST = VCMD_ERR_CONCURRENT_PROCESS,
    VCMD_ALREADY_STARTED = -94
};

#endif /* VOICEMOD_USDK_RESULTS_H */
