// Export.h - symbol visibility for the host SDK's shared library.
#pragma once

#if defined(_WIN32)
#if defined(CORVANE_SDK_BUILDING)
#define CORVANE_API __declspec(dllexport)
#else
#define CORVANE_API __declspec(dllimport)
#endif
#else
#define CORVANE_API __attribute__((visibility("default")))
#endif
