// Results.h - the engine's result codes, their descriptions and the detail
// text of the most recent package refusal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "VoicemodUSDKResults.h"

namespace vcmd {

// Fixed description of `code`; "unknown result code" for values outside the
// table. Never null, never allocates.
const char* describeResult(std::int32_t code) noexcept;

// Capacity of the per-thread detail text, NUL included. Longer texts are cut
// at a UTF-8 character boundary.
constexpr std::size_t kDetailCapacity = 512;

// Remembers `text` as the detail of the calling thread's last package
// refusal, given with `code` (VCMD_ERR_INVALID_PACKAGE or
// VCMD_ERR_NO_SUCH_FILE); vcmdGetResultDescription(code) returns it.
void setPackageRefusalDetail(std::int32_t code, std::string_view text) noexcept;

// The calling thread's last refusal detail if that refusal gave `code`,
// otherwise null.
const char* packageRefusalDetail(std::int32_t code) noexcept;

}  // namespace vcmd
