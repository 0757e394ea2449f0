#include "services/ErrorHandlerWin.h"

#include <cstdlib>

#include "platform/UserInterface.h"

namespace SornData {

ErrorHandlerWin::ErrorHandlerWin() = default;
ErrorHandlerWin::ErrorHandlerWin(const ErrorHandlerWin&) = default;
ErrorHandlerWin& ErrorHandlerWin::operator=(const ErrorHandlerWin&) = default;
ErrorHandlerWin::~ErrorHandlerWin() = default;

void ErrorHandlerWin::LogError(SornStringA*, SornStringA*, SornStringA*, SornStringA*) {}

void ErrorHandlerWin::DebugStringOutput(char* text, int toDebugger) {
    if (toDebugger) {
        OutputDebugStringA(text);
        return;
    }
    HWND owner = GetActiveWindow();
    if (owner) owner = GetLastActivePopup(owner);
    switch (MessageBoxA(owner, text, "Assert", MB_TASKMODAL | MB_ICONERROR | MB_ABORTRETRYIGNORE)) {
        case IDABORT:
            std::exit(AbortExitStatus);
        case IDRETRY:
            DebugBreak();
            return;
        default:  // Ignore, or the box could not be shown
            return;
    }
}

}  // namespace SornData
