// corvane-voicemod: renders audio files through the Corvane voice changer.
// See 'corvane-voicemod --help'.
#include <signal.h>

#include <atomic>
#include <iostream>
#include <string>
#include <vector>

#include "commands/Commands.h"
#include "platform/Platform.h"
#include "platform/ToolError.h"

namespace {

std::atomic<bool> stopRequested{false};
volatile sig_atomic_t stopSignal = 0;

extern "C" void onSignal(int number) {
    if (stopSignal == 0) stopSignal = number;
    stopRequested.store(true);
}

// Every signal whose default is to end the process: each ends a command the
// way Ctrl-C does, so the temporary output file and the host's temporary
// folder are removed (a closed terminal's SIGHUP, a reader gone from a pipe,
// a CPU or file-size limit reached). The handler restarts no system call, so
// an open that waits (a FIFO with no other end) returns and gives up.
#if defined(_WIN32)
// Windows has Ctrl-C (SIGINT), Ctrl-Break (SIGBREAK) and SIGTERM of the C
// runtime; a handler there is reset after each call, so it installs itself
// again.
extern "C" void onWindowsSignal(int number) {
    signal(number, onWindowsSignal);
    onSignal(number);
}

void installHandlers() {
    for (const int number : {SIGINT, SIGBREAK, SIGTERM}) signal(number, onWindowsSignal);
}
#else
constexpr int kEndingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,   SIGPIPE, SIGALRM,
                                  SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};

void installHandlers() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART
    for (const int number : kEndingSignals) {
        struct sigaction previous {};
        // A signal ignored by whoever started us (nohup, a shell's background
        // job) stays ignored.
        if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        sigaction(number, &action, nullptr);
    }
}
#endif

}  // namespace

int main(int argc, char** argv) {
    installHandlers();
    corvane::tool::useUtf8Console();

    // UTF-8 on every platform (on Windows from the wide command line).
    const std::vector<std::string> arguments = corvane::tool::utf8Arguments(argc, argv);
    corvane::tool::Console console{std::cout, std::cerr, corvane::tool::standardErrorIsTerminal(),
                                   &stopRequested};
    const int status = corvane::tool::toolMain(arguments, console);
    // Interrupted: 128 + the signal's number, as a shell reports it.
    if (status == corvane::tool::kExitInterrupted && stopSignal != 0) return 128 + stopSignal;
    return status;
}
