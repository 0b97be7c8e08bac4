// Terminal.h - single key presses from a terminal, without echo or Enter.
#pragma once

#include <termios.h>

namespace corvane::tool {

// What a key press means to 'live'.
struct Key {
    enum Kind { None, Up, Down, Digit, Letter } kind = None;
    char value = 0;  // the digit '0'..'9' or the lower-case letter
};

// While it lives, the terminal on standard input delivers keys one at a
// time without echo (Ctrl-C still interrupts); the destructor puts the
// terminal's settings back. When standard input is not a terminal, or
// `wanted` is false, it changes nothing and reads no keys. [main-thread]
class TerminalKeys {
public:
    explicit TerminalKeys(bool wanted);
    ~TerminalKeys();
    TerminalKeys(const TerminalKeys&) = delete;
    TerminalKeys& operator=(const TerminalKeys&) = delete;

    bool enabled() const noexcept { return enabled_; }

    // Waits at most `milliseconds` for a key; None when none came (or a
    // signal arrived, or keys are off, in which case it just waits).
    Key next(int milliseconds);

private:
    bool enabled_ = false;
    termios saved_{};  // the terminal's settings to put back
};

// True when standard output (input) is a terminal.
bool standardOutputIsTerminal();
bool standardInputIsTerminal();

}  // namespace corvane::tool
