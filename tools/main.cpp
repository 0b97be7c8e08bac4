// corvane-voicemod: renders audio files through the Corvane voice changer.
// See 'corvane-voicemod --help'.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "Commands.h"
#include "Progress.h"

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void onSignal(int) { stopRequested.store(true); }

}  // namespace

int main(int argc, char** argv) {
    // Ctrl-C or a kill ends a render between two blocks, so its temporary
    // file is removed rather than left half written.
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    corvane::tool::Console console{std::cout, std::cerr, corvane::tool::standardErrorIsTerminal(),
                                   &stopRequested};
    return corvane::tool::toolMain(arguments, console);
}
