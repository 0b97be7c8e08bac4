// Package.h - the strict reader that turns a .zvmd file into the voice
// model (voice/VoiceModel.h). The file format is described in
// docs/VOICE_PACKAGES.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "voice/VoiceModel.h"

namespace vcmd {

// Largest package file the reader accepts.
constexpr std::uintmax_t kMaxPackageBytes = 1024u * 1024u;
// Longest voice or parameter name, in bytes without the NUL.
constexpr std::size_t kMaxNameBytes = 99;

// Reads and checks the package at `path` (UTF-8, already canonical). On success
// fills `out` and returns VCMD_OK; otherwise returns VCMD_ERR_NO_SUCH_FILE or
// VCMD_ERR_INVALID_PACKAGE and a one-line reason in `error` ("voices[1].name
// is empty"). Allocates; may throw std::bad_alloc.
std::int32_t readPackage(const std::string& path, Package& out, std::string& error);

// Same checks on a document already in memory (used by the reader and the
// tests); `path` only names the source in messages.
std::int32_t parsePackage(const std::string& text, Package& out, std::string& error);

}  // namespace vcmd
