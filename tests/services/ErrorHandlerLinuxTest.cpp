// ErrorHandlerWin with scripted answers to its "Assert" box (the Linux
// message-box provider) and the Linux debugger output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "MessageBoxScript.h"
#include "ScopedEnv.h"
#include "TempDir.h"
#include "platform/UserInterface.h"
#include "services/ErrorHandlerWin.h"

using SornData::ErrorHandlerWin;
using Script = sorn::servicestest::MessageBoxScript;
using sorn::servicestest::ScriptedAnswers;

namespace {

void SayExitHandlersRan() { ::write(STDERR_FILENO, "exit handlers ran\n", 18); }

}  // namespace

TEST(ErrorHandler, IgnoreAndRetryReturnAfterTheAssertBox) {
    ErrorHandlerWin handler;
    Script script;
    ScriptedAnswers answers(script);
    char text[] = "index out of range";

    script.answer = IDIGNORE;
    handler.DebugStringOutput(text, 0);
    EXPECT_EQ(script.boxes, 1);
    EXPECT_EQ(script.text, "index out of range");
    EXPECT_EQ(script.caption, "Assert");
    EXPECT_EQ(script.type, 0x2012u);
    EXPECT_EQ(script.type, MB_TASKMODAL | MB_ICONERROR | MB_ABORTRETRYIGNORE);
    EXPECT_EQ(script.owner, nullptr);  // no active window: no owner

    if (!IsDebuggerPresent()) {  // with one, Retry breaks into it
        script.answer = IDRETRY;
        handler.DebugStringOutput(text, 0);
        EXPECT_EQ(script.boxes, 2);
    }
    script.answer = IDOK;  // anything else returns as well
    handler.DebugStringOutput(nullptr, 0);
    EXPECT_EQ(script.text, "");
}

TEST(ErrorHandler, AbortEndsTheProcessWithAFailureStatusAfterTheExitHandlers) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::atexit(SayExitHandlersRan);
            Script script;
            script.answer = IDABORT;
            SetMessageBoxAnswerProvider(Script::Answer, &script);
            ErrorHandlerWin handler;
            char text[] = "fatal";
            handler.DebugStringOutput(text, 0);
            std::_Exit(0);  // not reached
        },
        ::testing::ExitedWithCode(ErrorHandlerWin::AbortExitStatus), "exit handlers ran");
    EXPECT_NE(ErrorHandlerWin::AbortExitStatus, 0);
}

TEST(ErrorHandler, ReturnsWhenTheBoxCannotBeShown) {
    EXPECT_EXIT(
        {
            const int null = ::open("/dev/null", O_RDONLY);
            ::dup2(null, STDIN_FILENO);  // no terminal to answer on
            ErrorHandlerWin handler;
            char text[] = "no terminal";
            handler.DebugStringOutput(text, 0);
            std::exit(7);
        },
        ::testing::ExitedWithCode(7), "Assert: no terminal");
}

TEST(ErrorHandler, DebuggerTextGoesToTheDebuggerOutputOnly) {
    TempDir dir;
    ScopedEnv output(SornDebugOutputVariable, (dir / "debug.txt").c_str());
    Script script;
    script.answer = IDABORT;  // a box would end the test
    ScriptedAnswers answers(script);
    ErrorHandlerWin handler;
    char text[] = "checkpoint 1\n";
    handler.DebugStringOutput(text, 1);
    EXPECT_EQ(script.boxes, 0);
    std::ifstream in(dir / "debug.txt");
    std::stringstream written;
    written << in.rdbuf();
    EXPECT_EQ(written.str(), "checkpoint 1\n");
}
