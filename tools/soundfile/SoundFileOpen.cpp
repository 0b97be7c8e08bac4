// SoundFileOpen.cpp - openSoundFile (SoundFile.h). A file of its own because
// on Windows <sndfile.h> declares sf_wchar_open only when it is first
// included after <windows.h> with the switch below.
#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#define ENABLE_SNDFILE_WINDOWS_PROTOTYPES 1
#include <sndfile.h>
#endif

#include "soundfile/SoundFile.h"

namespace corvane::tool {

SNDFILE* openSoundFile(const std::filesystem::path& path, int mode, SF_INFO* info) {
#if defined(_WIN32)
    return sf_wchar_open(path.wstring().c_str(), mode, info);
#else
    return sf_open(path.c_str(), mode, info);
#endif
}

}  // namespace corvane::tool
