// Message boxes, windows and the debugger channel.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include "MessageBoxScript.h"
#include "ScopedEnv.h"
#include "TempDir.h"
#include "platform/UserInterface.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs MessageBoxA in a child whose controlling terminal, standard input
// and error are a new terminal, types `typed` into it, and gives back the
// child's answer (its exit status) and what the terminal showed. With
// `redirected`, the child's standard input and error are /dev/null instead.
int AnswerOnTerminal(const std::string& typed, UINT type, std::string& shown, bool redirected = false) {
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        if (redirected) {
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        ::_exit(MessageBoxA(nullptr, "the text", "the caption", type));
    }
    if (child < 0) return -1;
    EXPECT_EQ(::write(terminal, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    shown.clear();
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);  // never answered: the test fails on the status
            break;
        }
        pollfd ready{terminal, POLLIN, 0};
        if (::poll(&ready, 1, 100) == 0) continue;
        char block[256];
        const ssize_t got = ::read(terminal, block, sizeof block);  // EIO once the child is gone
        if (got > 0) {
            shown.append(block, static_cast<std::size_t>(got));
        } else if (!(got < 0 && errno == EINTR)) {
            break;
        }
    }
    ::close(terminal);
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(MessageBox, AnswerProviderGetsTheBoxAndGivesTheAnswer) {
    sorn::servicestest::MessageBoxScript box;  // answers IDRETRY
    SetMessageBoxAnswerProvider(box.Answer, &box);
    EXPECT_EQ(MessageBoxA(nullptr, "text", "caption", MB_TASKMODAL | MB_ICONERROR | MB_ABORTRETRYIGNORE), IDRETRY);
    EXPECT_EQ(MessageBoxA(nullptr, nullptr, nullptr, MB_OK), IDRETRY);
    SetMessageBoxAnswerProvider(nullptr, nullptr);
    EXPECT_EQ(box.boxes, 2);
    EXPECT_EQ(box.text, "");
    EXPECT_EQ(box.caption, "");
    EXPECT_EQ(box.owner, nullptr);
}

TEST(MessageBox, WithoutATerminalWritesTheTextAndCountsAsNotShown) {
    EXPECT_EXIT(
        {
            ::setsid();  // no controlling terminal either
            const int null = ::open("/dev/null", O_RDONLY);
            ::dup2(null, STDIN_FILENO);
            std::exit(MessageBoxA(nullptr, "the text", "Caption", MB_OKCANCEL) == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "Caption: the text");
}

TEST(MessageBox, OnATerminalShowsTheBoxAndReadsTheAnswer) {
    std::string shown;
    EXPECT_EQ(AnswerOnTerminal("r\n", MB_ABORTRETRYIGNORE | MB_ICONERROR, shown), IDRETRY);
    EXPECT_NE(shown.find("the caption"), std::string::npos) << shown;
    EXPECT_NE(shown.find("the text"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Abort / Retry / Ignore?"), std::string::npos) << shown;

    // Unknown and ambiguous answers ask again; whole names in any case count.
    EXPECT_EQ(AnswerOnTerminal("maybe\nc\nCONTINUE\n", MB_CANCELTRYCONTINUE, shown), IDCONTINUE);
    EXPECT_EQ(AnswerOnTerminal("\n n \n", MB_YESNO, shown), IDNO);
    // The end of the input: no answer.
    EXPECT_EQ(AnswerOnTerminal("\x04", MB_OK, shown), 0);

    // Standard input and error redirected: the box is still shown and
    // answered on the controlling terminal.
    EXPECT_EQ(AnswerOnTerminal("i\n", MB_ABORTRETRYIGNORE, shown, true), IDIGNORE);
    EXPECT_NE(shown.find("the text"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Abort / Retry / Ignore?"), std::string::npos) << shown;
}

TEST(DebugOutput, GoesToTheNamedFileOrToStderr) {
    TempDir dir;
    {
        ScopedEnv output(SornDebugOutputVariable, (dir / "debug.txt").c_str());
        OutputDebugStringA("first ");
        OutputDebugStringA(nullptr);
        OutputDebugStringA("second\n");
    }
    EXPECT_EQ(ReadFile(dir / "debug.txt"), "first second\n");

    ScopedEnv unusable(SornDebugOutputVariable, (dir / "missing/debug.txt").c_str());
    ::testing::internal::CaptureStderr();
    OutputDebugStringA("to stderr");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "to stderr");
}

