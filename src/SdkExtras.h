// SdkExtras.h - the voice changer's optional functions, found at run time.
//
// The bundled engine answers three questions the vendor SDK cannot: the
// current voice's delay and a mounted voice's parameters. The library does
// not link them, so one binary starts against either voice changer: when
// the extension loads it asks the module that provides vcmdInitSDK for them
// by name (dlsym on Linux, GetProcAddress on Windows) and keeps what it
// finds here. A function the voice changer lacks stays null, and the query
// that needs it answers "not known". Internal to the library.
#pragma once

#include <cstdint>

namespace corvane::extensions::voicemod::detail {

// The functions' signatures as the bundled engine exports them (C linkage,
// never throwing).
using GetLatencyFrames = std::int32_t (*)(std::uint32_t* frames) noexcept;
using GetVoiceParameterCount = std::int32_t (*)(const char* voice, std::uint32_t* count) noexcept;
using GetVoiceParameter = std::int32_t (*)(const char* voice, std::uint32_t index, char* name,
                                           std::uint32_t* nameLength, char* unit, std::uint32_t* unitLength,
                                           float* minimum, float* maximum, float* defaultValue) noexcept;

// [control-thread] Looks the three functions up in the module that
// provides vcmdInitSDK and keeps them. Takes the dynamic loader's lock,
// which is why it runs when the extension loads and never on a query.
// Running it again finds the same functions. Never throws.
void findSdkExtras() noexcept;

// [any-thread] What findSdkExtras() found; null before it has run and for a
// function the voice changer does not export. No lock, no allocation.
GetLatencyFrames sdkGetLatencyFrames() noexcept;
GetVoiceParameterCount sdkGetVoiceParameterCount() noexcept;
GetVoiceParameter sdkGetVoiceParameter() noexcept;

}  // namespace corvane::extensions::voicemod::detail
