// Results.cpp - the one table that gives every result code its text.
#include "engine/Results.h"

#include <cstring>

namespace vcmd {
namespace {

struct ResultRow {
    std::int32_t code;
    const char* text;
};

constexpr ResultRow kResultTable[] = {
    {VCMD_OK, "success"},
    {VCMD_ERR_NOT_STARTED, "the voice engine is not started (call vcmdInitSDK first)"},
    {VCMD_ERR_INVALID_ARGUMENT, "invalid argument"},
    {VCMD_ERR_NULL_POINTER, "a required pointer argument is null"},
    {VCMD_ERR_NO_SUCH_FILE, "no such file"},
    {VCMD_ERR_INVALID_PACKAGE, "invalid voice package"},
    {VCMD_ERR_UNKNOWN_VOICE, "no mounted voice has that name"},
    {VCMD_ERR_UNKNOWN_PARAMETER, "the current voice has no parameter of that name"},
    {VCMD_ERR_VALUE_OUT_OF_RANGE, "value is not finite or outside the parameter's range"},
    {VCMD_ERR_BUFFER_TOO_SMALL, "the buffer is too small for the text"},
    {VCMD_ERR_UNSUPPORTED_SAMPLE_RATE, "sample rate outside 8000 to 192000 Hz"},
    {VCMD_ERR_OUT_OF_MEMORY, "out of memory"},
    {VCMD_ERR_INTERNAL, "internal error in the voice engine"},
    {VCMD_ERR_CONCURRENT_PROCESS,
     "another thread is processing audio in the voice engine; this block was left unchanged"},
    {VCMD_ALREADY_STARTED, "the voice engine is already started"},
};

thread_local char tDetail[kDetailCapacity] = {0};
thread_local std::int32_t tDetailCode = VCMD_OK;

}  // namespace

const char* describeResult(std::int32_t code) noexcept {
    for (const ResultRow& row : kResultTable)
        if (row.code == code) return row.text;
    return "unknown result code";
}

void setPackageRefusalDetail(std::int32_t code, std::string_view text) noexcept {
    tDetailCode = code;
    std::size_t n = text.size();
    if (n >= kDetailCapacity) {
        n = kDetailCapacity - 1;
        // Do not leave half a UTF-8 sequence at the end.
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0u) == 0x80u) --n;
    }
    std::memcpy(tDetail, text.data(), n);
    tDetail[n] = '\0';
}

const char* packageRefusalDetail(std::int32_t code) noexcept {
    return code == tDetailCode && tDetail[0] != '\0' ? tDetail : nullptr;
}

}  // namespace vcmd
