#include "SdkExtras.h"

#include <VoicemodUSDK.h>

#include <atomic>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace corvane::extensions::voicemod::detail {
namespace {

// Set when the extension loads, read by the queries on any thread. Atomic
// pointers are lock-free, and a query that runs while the extension loads
// sees null or the function, never half of it.
std::atomic<GetLatencyFrames> latencyFrames{nullptr};
std::atomic<GetVoiceParameterCount> voiceParameterCount{nullptr};
std::atomic<GetVoiceParameter> voiceParameter{nullptr};

static_assert(std::atomic<GetLatencyFrames>::is_always_lock_free, "the latency query must not take a lock");

#if defined(_WIN32)

using Module = HMODULE;

// The DLL that vcmdInitSDK's code lies in; its reference count is left as
// it is (the voice changer is linked, so it stays loaded).
Module voiceChangerModule() noexcept {
    HMODULE module = nullptr;
    const auto address = reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&vcmdInitSDK));
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            address, &module))
        return nullptr;
    return module;
}

template <typename Function>
Function find(Module module, const char* name) noexcept {
    if (module == nullptr) return nullptr;
    const FARPROC found = GetProcAddress(module, name);
    // Through the generic function pointer type, which converts to any other
    // without a cast-function-type warning.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

void release(Module) noexcept {}

#else

using Module = void*;

// The shared object vcmdInitSDK's code lies in, opened again without being
// loaded anew (RTLD_NOLOAD). When that is the program itself (a voice
// changer linked statically), its name is not one dlopen can always find
// again; the program's handle then stands in, which searches the program
// and the libraries loaded with it.
Module voiceChangerModule() noexcept {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&vcmdInitSDK), &info) == 0) return nullptr;
    void* module = nullptr;
    if (info.dli_fname != nullptr && info.dli_fname[0] != '\0')
        module = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (module == nullptr) module = dlopen(nullptr, RTLD_LAZY);
    return module;
}

template <typename Function>
Function find(Module module, const char* name) noexcept {
    if (module == nullptr) return nullptr;
    void* found = dlsym(module, name);
    return reinterpret_cast<Function>(found);
}

// Gives back the reference dlopen took; the module stays loaded, since the
// library links it.
void release(Module module) noexcept {
    if (module != nullptr) dlclose(module);
}

#endif

}  // namespace

void findSdkExtras() noexcept {
    const Module module = voiceChangerModule();
    latencyFrames.store(find<GetLatencyFrames>(module, "vcmdGetLatencyFrames"), std::memory_order_release);
    voiceParameterCount.store(find<GetVoiceParameterCount>(module, "vcmdGetVoiceParameterCount"),
                              std::memory_order_release);
    voiceParameter.store(find<GetVoiceParameter>(module, "vcmdGetVoiceParameter"), std::memory_order_release);
    release(module);
}

GetLatencyFrames sdkGetLatencyFrames() noexcept { return latencyFrames.load(std::memory_order_acquire); }

GetVoiceParameterCount sdkGetVoiceParameterCount() noexcept {
    return voiceParameterCount.load(std::memory_order_acquire);
}

GetVoiceParameter sdkGetVoiceParameter() noexcept { return voiceParameter.load(std::memory_order_acquire); }

}  // namespace corvane::extensions::voicemod::detail
