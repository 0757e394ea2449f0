// Message boxes as terminal dialogues, and the debugger channel.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/UserInterface.h"
#include "threading/Mutex.h"

namespace {

struct Button {
    const char* name;
    int answer;
};

std::vector<Button> ButtonsOf(UINT type) {
    switch (type & MB_TYPEMASK) {
        case MB_OKCANCEL:
            return {{"OK", IDOK}, {"Cancel", IDCANCEL}};
        case MB_ABORTRETRYIGNORE:
            return {{"Abort", IDABORT}, {"Retry", IDRETRY}, {"Ignore", IDIGNORE}};
        case MB_YESNOCANCEL:
            return {{"Yes", IDYES}, {"No", IDNO}, {"Cancel", IDCANCEL}};
        case MB_YESNO:
            return {{"Yes", IDYES}, {"No", IDNO}};
        case MB_RETRYCANCEL:
            return {{"Retry", IDRETRY}, {"Cancel", IDCANCEL}};
        case MB_CANCELTRYCONTINUE:
            return {{"Cancel", IDCANCEL}, {"Try Again", IDTRYAGAIN}, {"Continue", IDCONTINUE}};
        default:
            return {{"OK", IDOK}};
    }
}

bool WriteAll(int fd, const char* text, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, text, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        text += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

bool WriteAll(int fd, const std::string& text) { return WriteAll(fd, text.data(), text.size()); }

// One line from fd, without its end; false at the end of the input.
bool ReadLine(int fd, std::string& line) {
    line.clear();
    for (;;) {
        char c = 0;
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return !line.empty();
        if (c == '\n') return true;
        if (c != '\r') line += c;
    }
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The answer a typed line names: a button's name or a start of it that fits
// no other button, in any case; 0 when it names none or several.
int Choose(const std::vector<Button>& buttons, const std::string& typed) {
    std::string wanted = Lower(typed);
    while (!wanted.empty() && std::isspace(static_cast<unsigned char>(wanted.back()))) wanted.pop_back();
    while (!wanted.empty() && std::isspace(static_cast<unsigned char>(wanted.front()))) wanted.erase(0, 1);
    if (wanted.empty()) return 0;
    int found = 0;
    for (const Button& button : buttons) {
        const std::string name = Lower(button.name);
        if (name == wanted) return button.answer;
        if (name.compare(0, wanted.size(), wanted) == 0) {
            if (found) return 0;
            found = button.answer;
        }
    }
    return found;
}

// The terminal dialogue; one box at a time.
sorn::Mutex dialogueMutex;

// The dialogue writes to `output` and reads from `input`.
int AskOnTerminal(int input, int output, const char* text, const char* caption, UINT type) {
    sorn::MutexLock lock(dialogueMutex);
    const std::vector<Button> buttons = ButtonsOf(type);
    std::string prompt;
    for (const Button& button : buttons) {
        prompt += prompt.empty() ? "" : " / ";
        prompt += button.name;
    }
    prompt += "? ";
    std::fflush(stderr);
    if (!WriteAll(output, std::string("\n[") + caption + "]\n" + text + "\n")) return 0;
    std::string line;
    for (;;) {
        if (!WriteAll(output, prompt)) return 0;
        if (!ReadLine(input, line)) return 0;
        if (const int answer = Choose(buttons, line)) return answer;
    }
}

// The process's controlling terminal, opened for the dialogue; -1 when
// there is none.
class ControllingTerminal {
public:
    ControllingTerminal() : fd_(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~ControllingTerminal() {
        if (fd_ >= 0) ::close(fd_);
    }
    ControllingTerminal(const ControllingTerminal&) = delete;
    ControllingTerminal& operator=(const ControllingTerminal&) = delete;
    int Fd() const { return fd_; }

private:
    int fd_;
};

sorn::Mutex providerMutex;
MessageBoxAnswerProvider provider SORN_GUARDED_BY(providerMutex) = nullptr;
void* providerContext SORN_GUARDED_BY(providerMutex) = nullptr;

}  // namespace

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    text = text ? text : "";
    caption = caption ? caption : "";
    MessageBoxAnswerProvider answer = nullptr;
    void* context = nullptr;
    {
        sorn::MutexLock lock(providerMutex);
        answer = provider;
        context = providerContext;
    }
    if (answer) return answer(context, owner, text, caption, type);
    {
        const ControllingTerminal terminal;
        if (terminal.Fd() >= 0) return AskOnTerminal(terminal.Fd(), terminal.Fd(), text, caption, type);
    }
    if (::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO)) {
        return AskOnTerminal(STDIN_FILENO, STDERR_FILENO, text, caption, type);
    }
    std::fflush(stderr);
    WriteAll(STDERR_FILENO, std::string(caption) + ": " + text + "\n");
    return 0;
}

void SetMessageBoxAnswerProvider(MessageBoxAnswerProvider newProvider, void* context) {
    sorn::MutexLock lock(providerMutex);
    provider = newProvider;
    providerContext = newProvider ? context : nullptr;
}

HWND GetActiveWindow() { return nullptr; }
HWND GetLastActivePopup(HWND window) { return window; }

void OutputDebugStringA(LPCSTR text) {
    if (!text) return;
    const std::size_t length = std::strlen(text);
    const char* target = std::getenv(SornDebugOutputVariable);
    if (target && *target) {
        const int fd = ::open(target, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            WriteAll(fd, text, length);
            ::close(fd);
            return;
        }
    }
    std::fflush(stderr);
    WriteAll(STDERR_FILENO, text, length);
}

BOOL IsDebuggerPresent() {
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FALSE;
    std::string status;
    char block[1024];
    for (;;) {
        const ssize_t got = ::read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        status.append(block, static_cast<std::size_t>(got));
    }
    ::close(fd);
    const auto line = status.find("\nTracerPid:");
    if (line == std::string::npos) return FALSE;
    return std::strtol(status.c_str() + line + std::strlen("\nTracerPid:"), nullptr, 10) != 0 ? TRUE : FALSE;
}

void DebugBreak() {
    if (IsDebuggerPresent()) std::raise(SIGTRAP);
}
