#pragma once
// ErrorHandlerWin: the module's error handler. Assertions reach the user in
// an "Assert" box that can end the process, break into a debugger or carry
// on; debug text goes to the debugger output. Logged errors are discarded.
#include "core_contract/Handlers.h"
#include "sorn_win_export.h"

namespace SornData {

class SORN_WIN_API ErrorHandlerWin : public IErrorHandler {
public:
    // The status the process ends with when the user answers Abort: the
    // failed assertion is reported as a failure (3, as the C library's abort
    // reports itself on the platform), never as success.
    static constexpr int AbortExitStatus = 3;

    ErrorHandlerWin();
    ErrorHandlerWin(const ErrorHandlerWin& other);
    ErrorHandlerWin& operator=(const ErrorHandlerWin& other);
    ~ErrorHandlerWin() override;

    // Accepted and discarded; no argument is read (null is fine).
    void LogError(SornStringA* a, SornStringA* b, SornStringA* c, SornStringA* d) override;

    // toDebugger non-zero: the text goes to the debugger output
    // (OutputDebugStringA) and nothing is shown. Otherwise a task-modal
    // "Assert" box with the error icon and Abort, Retry and Ignore shows the
    // text and blocks the calling thread until answered:
    // - Abort ends the process through exit(AbortExitStatus): exit-time
    //   handlers and static destructors run;
    // - Retry breaks into the debugger (nothing when none is attached), then
    //   returns;
    // - Ignore, or a box that could not be shown, returns.
    // Any thread may call it; a null text shows as empty.
    void DebugStringOutput(char* text, int toDebugger) override;
};

}  // namespace SornData
