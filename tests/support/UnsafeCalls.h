// UnsafeCalls.h - counts the calls an audio thread must not make: malloc,
// calloc, realloc, free, operator new and delete, pthread_mutex_lock.
//
// Linking UnsafeCalls.cpp replaces those functions for the whole process,
// shared libraries included; a call counts only on a thread between
// watch() and unwatch(). Only a build without sanitizers may link it (the
// sanitizers bring their own malloc).
#pragma once

namespace testsupport {

// Starts counting on the calling thread, from zero.
void watchUnsafeCalls() noexcept;
// Stops counting; returns the calls seen since watchUnsafeCalls().
unsigned long unwatchUnsafeCalls() noexcept;
// The first call seen ("malloc", ...), or null.
const char* firstUnsafeCall() noexcept;

}  // namespace testsupport
