#include "platform/Terminal.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>

namespace corvane::tool {

namespace {

// Reads one byte if one arrives within `milliseconds`; -1 otherwise.
int readByte(int milliseconds) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (::poll(&in, 1, milliseconds) <= 0 || (in.revents & POLLIN) == 0) return -1;
    unsigned char byte = 0;
    return ::read(STDIN_FILENO, &byte, 1) == 1 ? byte : -1;
}

}  // namespace

TerminalKeys::TerminalKeys(bool wanted) {
    if (!wanted || !standardInputIsTerminal() || ::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));  // ISIG stays: Ctrl-C still sends SIGINT
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    enabled_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

TerminalKeys::~TerminalKeys() {
    if (enabled_) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

Key TerminalKeys::next(int milliseconds) {
    Key key;
    if (!enabled_) {
        ::poll(nullptr, 0, milliseconds);
        return key;
    }
    const int byte = readByte(milliseconds);
    if (byte < 0) return key;
    if (byte == 0x1b) {
        // Arrow keys arrive as ESC [ A (up) and ESC [ B (down), or ESC O A/B.
        const int second = readByte(20);
        if (second != '[' && second != 'O') return key;
        const int third = readByte(20);
        if (third == 'A') key.kind = Key::Up;
        if (third == 'B') key.kind = Key::Down;
        return key;
    }
    if (std::isdigit(byte)) {
        key.kind = Key::Digit;
        key.value = static_cast<char>(byte);
    } else if (std::isalpha(byte)) {
        key.kind = Key::Letter;
        key.value = static_cast<char>(std::tolower(byte));
    }
    return key;
}

bool standardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }
bool standardInputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

}  // namespace corvane::tool
