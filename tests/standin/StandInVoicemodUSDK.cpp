// StandInVoicemodUSDK.cpp - a voice changer with exactly the interface of
// VoicemodUSDK.h and nothing more, as another vendor's build of it would
// be. It is built under the engine's own library name, so a program linked
// against the bundled engine runs against it when it is found first (its
// folder first in the library path on Linux, beside the program on
// Windows).
//
// Each function hands its call on to the bundled engine, which it loads
// privately (RTLD_LOCAL on Linux; on Windows a DLL's functions are never
// global): the engine's further functions (VoicemodUSDKExtras.h) are then
// reachable neither through this library nor through the process's global
// symbols. The version text says that the
// stand-in answered.
#include <VoicemodUSDK.h>

#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#else
#include <dlfcn.h>
#endif

#ifndef STANDIN_ENGINE
#error "STANDIN_ENGINE names the bundled engine's library: its path (Linux), its file in the folder above (Windows)"
#endif

namespace {

[[noreturn]] void giveUp(const char* what, const char* name) noexcept {
    std::fprintf(stderr, "stand-in voice changer: %s %s\n", what, name);
    std::abort();
}

#if defined(_WIN32)

// The engine's DLL lies in the folder above the stand-in's own. Loaded by
// its full path, it is a module apart from the stand-in, whose file name
// it shares.
void* openEngine() noexcept {
    HMODULE self = nullptr;
    wchar_t path[MAX_PATH];
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&openEngine)), &self) ||
        GetModuleFileNameW(self, path, MAX_PATH) == 0)
        giveUp("cannot find its own file", "");
    std::wstring file(path);
    file.resize(file.find_last_of(L"\\/"));  // the stand-in's folder
    file.resize(file.find_last_of(L"\\/") + 1);  // the folder above
    const char* name = STANDIN_ENGINE;
    for (; *name != '\0'; ++name) file += static_cast<wchar_t>(*name);
    HMODULE engine = LoadLibraryW(file.c_str());
    if (engine == nullptr) giveUp("cannot load the engine", STANDIN_ENGINE);
    return reinterpret_cast<void*>(engine);
}

void* findInEngine(void* engine, const char* name) noexcept {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(engine), name));
}

#else

void* openEngine() noexcept {
    void* engine = dlopen(STANDIN_ENGINE, RTLD_NOW | RTLD_LOCAL);
    if (engine == nullptr) giveUp("cannot load", dlerror());
    return engine;
}

void* findInEngine(void* engine, const char* name) noexcept { return dlsym(engine, name); }

#endif

void* engineLibrary() noexcept {
    static void* const library = openEngine();
    return library;
}

// The engine's function `name`, of the same type as the stand-in's own.
template <typename Function>
Function engineFunction(Function, const char* name) noexcept {
    void* found = findInEngine(engineLibrary(), name);
    if (found == nullptr) giveUp("the engine lacks", name);
    return reinterpret_cast<Function>(found);
}

}  // namespace

// Calls the engine's function of the same name with the same arguments.
#define STANDIN_FORWARD(function, ...)                                                     \
    do {                                                                                   \
        static const auto forward = engineFunction(&function, #function);                \
        return forward(__VA_ARGS__);                                                       \
    } while (false)

extern "C" {

int32_t vcmdInitSDK(const char* clientKey, const char* clientSecret, const char* version) noexcept {
    STANDIN_FORWARD(vcmdInitSDK, clientKey, clientSecret, version);
}
const char* vcmdGetVersionString(void) noexcept { return "stand-in voice changer over the bundled engine"; }
int32_t vcmdSetTempPath(const char* path) noexcept { STANDIN_FORWARD(vcmdSetTempPath, path); }
int32_t vcmdSetContentPath(const char* path) noexcept { STANDIN_FORWARD(vcmdSetContentPath, path); }
int32_t vcmdMountPackage(const char* path, int32_t reserved0, int32_t reserved1, int32_t reserved2,
                         int32_t* packageId) noexcept {
    STANDIN_FORWARD(vcmdMountPackage, path, reserved0, reserved1, reserved2, packageId);
}
int32_t vcmdGetNumberOfVoices(uint32_t selector, uint32_t* count) noexcept {
    STANDIN_FORWARD(vcmdGetNumberOfVoices, selector, count);
}
int32_t vcmdGetVoiceNames(char** names, uint32_t count, uint32_t bufferSize, uint32_t selector) noexcept {
    STANDIN_FORWARD(vcmdGetVoiceNames, names, count, bufferSize, selector);
}
int32_t vcmdLoadVoice(const char* name, int32_t reserved0, int32_t reserved1) noexcept {
    STANDIN_FORWARD(vcmdLoadVoice, name, reserved0, reserved1);
}
int32_t vcmdGetCurrentVoice(char* buffer, uint32_t* length) noexcept {
    STANDIN_FORWARD(vcmdGetCurrentVoice, buffer, length);
}
int32_t vcmdSetBypass(bool enabled) noexcept { STANDIN_FORWARD(vcmdSetBypass, enabled); }
int32_t vcmdGetBypass(bool* enabled) noexcept { STANDIN_FORWARD(vcmdGetBypass, enabled); }
int32_t vcmdSetMute(bool enabled) noexcept { STANDIN_FORWARD(vcmdSetMute, enabled); }
int32_t vcmdGetMute(bool* enabled) noexcept { STANDIN_FORWARD(vcmdGetMute, enabled); }
int32_t vcmdEnableOfflineMode(bool enabled) noexcept { STANDIN_FORWARD(vcmdEnableOfflineMode, enabled); }
int32_t vcmdIsOfflineModeEnabled(bool* enabled) noexcept { STANDIN_FORWARD(vcmdIsOfflineModeEnabled, enabled); }
int32_t vcmdEnableBackgroundSounds(bool enabled) noexcept { STANDIN_FORWARD(vcmdEnableBackgroundSounds, enabled); }
int32_t vcmdIsBackgroundSoundsEnabled(bool* enabled) noexcept {
    STANDIN_FORWARD(vcmdIsBackgroundSoundsEnabled, enabled);
}
int32_t vcmdSetParameter(const char* name, float value) noexcept { STANDIN_FORWARD(vcmdSetParameter, name, value); }
int32_t vcmdGetParameter(const char* name, float* value) noexcept { STANDIN_FORWARD(vcmdGetParameter, name, value); }
int32_t vcmdSetSampleRate(float sampleRate) noexcept { STANDIN_FORWARD(vcmdSetSampleRate, sampleRate); }
int32_t vcmdProcessBuffer(float* samples, uint32_t frames) noexcept {
    STANDIN_FORWARD(vcmdProcessBuffer, samples, frames);
}
int32_t vcmdProcessStereoBuffer(float* left, float* right, uint32_t frames) noexcept {
    STANDIN_FORWARD(vcmdProcessStereoBuffer, left, right, frames);
}
const char* vcmdGetResultDescription(int32_t result) noexcept { STANDIN_FORWARD(vcmdGetResultDescription, result); }

}  // extern "C"
