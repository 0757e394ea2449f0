#include "tools/sorn/Terminal.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace sorn::tool {

std::atomic<bool> interrupted{false};

namespace {

extern "C" void OnInterrupt(int) {
    if (interrupted.exchange(true)) _exit(130);
}

}  // namespace

void CatchInterrupt() {
    struct sigaction action {};
    action.sa_handler = &OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

bool OnTerminal() { return isatty(STDERR_FILENO) == 1; }

unsigned TerminalColumns() {
    winsize size{};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

Keyboard::Keyboard() {
    if (isatty(STDIN_FILENO) != 1 || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

Keyboard::~Keyboard() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

int Keyboard::Key() const {
    char c = 0;
    return active_ && read(STDIN_FILENO, &c, 1) == 1 ? static_cast<unsigned char>(c) : -1;
}

}  // namespace sorn::tool
