// MemoryLock.h - keeps the program's memory in RAM while it plays live, so
// no audio callback waits for a page to be mapped or read back.
#pragma once

#include <string>

namespace corvane::tool {

// [main-thread] Locks every page the program has into RAM (mlockall) and,
// where the system lets the program lock all it will ever take, every page
// it takes from now on too, which also maps each new page as it is
// allocated instead of at its first touch. Where only a limited amount may
// be locked (RLIMIT_MEMLOCK without CAP_IPC_LOCK), later pages are left
// unlocked, since allocations past the limit would then fail. Nothing is
// locked when the address space is over half the machine's memory (as in a
// sanitizer build, whose shadow memory it would all map in). Returns ""
// on success, else a one-line note of what was not locked and why; the
// program goes on either way. Blocks while the pages are mapped in.
std::string lockMemory();

}  // namespace corvane::tool
