#pragma once
// The terminal sorn runs on: Ctrl-C, the keyboard in single-key mode and the
// width of the lines it redraws.
#include <termios.h>

#include <atomic>

namespace sorn::tool {

// Ctrl-C: the first one asks the running command to stop and keep what it
// has (`interrupted` turns true); a second one ends the process at once.
extern std::atomic<bool> interrupted;
void CatchInterrupt();

// Whether stderr is a terminal (the progress and meter lines go there).
bool OnTerminal();

// The terminal's width in columns (80 when unknown).
unsigned TerminalColumns();

// The keyboard in single-key mode while it lives (when stdin is a
// terminal); Key reads a pressed key without waiting.
class Keyboard {
public:
    Keyboard();
    ~Keyboard();
    Keyboard(const Keyboard&) = delete;
    Keyboard& operator=(const Keyboard&) = delete;
    int Key() const;

private:
    termios saved_{};
    bool active_ = false;
};

}  // namespace sorn::tool
