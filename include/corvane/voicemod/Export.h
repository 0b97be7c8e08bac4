// Export.h - the one export macro of the CorvaneVoicemod library.
//
// Symbols are hidden by default; the public classes are marked with
// CORVANE_VOICEMOD_API. On Windows (the shipped form is a 64-bit DLL) it is
// __declspec(dllexport) while the library itself is built and
// __declspec(dllimport) for its users.
#pragma once

#if defined(CORVANE_VOICEMOD_STATIC)
#define CORVANE_VOICEMOD_API
#elif defined(_WIN32)
#if defined(CORVANE_VOICEMOD_BUILDING)
#define CORVANE_VOICEMOD_API __declspec(dllexport)
#else
#define CORVANE_VOICEMOD_API __declspec(dllimport)
#endif
#else
#define CORVANE_VOICEMOD_API __attribute__((visibility("default")))
#endif
