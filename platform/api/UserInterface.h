#pragma once
// Message boxes and the debugger channel, on Linux: a message box is a
// dialogue on the terminal, the debugger output is a stream.
// Every operation is safe to call from any thread.
#include "platform/WinTypes.h"

// Message box types: the buttons (low four bits), the icon and the modality.
constexpr UINT MB_OK = 0x00000000u;
constexpr UINT MB_OKCANCEL = 0x00000001u;
constexpr UINT MB_ABORTRETRYIGNORE = 0x00000002u;
constexpr UINT MB_YESNOCANCEL = 0x00000003u;
constexpr UINT MB_YESNO = 0x00000004u;
constexpr UINT MB_RETRYCANCEL = 0x00000005u;
constexpr UINT MB_CANCELTRYCONTINUE = 0x00000006u;
constexpr UINT MB_TYPEMASK = 0x0000000Fu;
constexpr UINT MB_ICONHAND = 0x00000010u;
constexpr UINT MB_ICONERROR = MB_ICONHAND;
constexpr UINT MB_ICONSTOP = MB_ICONHAND;
constexpr UINT MB_ICONQUESTION = 0x00000020u;
constexpr UINT MB_ICONEXCLAMATION = 0x00000030u;
constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr UINT MB_ICONASTERISK = 0x00000040u;
constexpr UINT MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr UINT MB_ICONMASK = 0x000000F0u;
constexpr UINT MB_APPLMODAL = 0x00000000u;
constexpr UINT MB_SYSTEMMODAL = 0x00001000u;
constexpr UINT MB_TASKMODAL = 0x00002000u;

// Answers.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
constexpr int IDTRYAGAIN = 10;
constexpr int IDCONTINUE = 11;

// MessageBoxA: shows a text with a caption and the buttons of the type, and
// waits for the answer, which it returns (IDOK, IDABORT ...).
// - While an answer provider is set (SetMessageBoxAnswerProvider), nothing is
//   shown: the provider gets the box and its return value is the answer.
// - Otherwise, when the process has a controlling terminal (/dev/tty), the
//   caption, the text and the buttons are written to it and a line is read
//   from it, wherever the standard streams lead; without one, the same
//   dialogue runs on the standard error and input when both are terminals.
//   A button is chosen by its name or any start of it that names no other
//   button, in any case ("r", "Retry"); an empty or unknown line asks again.
//   The end of the input gives 0. Boxes from several threads are shown one
//   at a time (the box is modal to the process); the owner window is
//   ignored.
// - With no terminal the box cannot be shown: "caption: text" and a line
//   end are written to the standard error and 0 is returned at once.
// A null text or caption shows as empty. The icon and modality bits change
// nothing.
SORN_WIN_API int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// The answer provider: called with the box's arguments and the provider's
// context; returns the answer. Null removes it. A box already being answered
// by the old provider finishes with it.
typedef int (*MessageBoxAnswerProvider)(void* context, HWND owner, LPCSTR text, LPCSTR caption, UINT type);
SORN_WIN_API void SetMessageBoxAnswerProvider(MessageBoxAnswerProvider provider, void* context);

// Linux has no windows: GetActiveWindow gives null, and GetLastActivePopup
// gives back the window it was given (a window with no pop-up).
SORN_WIN_API HWND GetActiveWindow();
SORN_WIN_API HWND GetLastActivePopup(HWND window);

// OutputDebugStringA: writes the text as it stands (no line end is added).
// Where to: the file named by the environment variable SORN_DEBUG_OUTPUT
// (SornDebugOutputVariable), appended to and created when missing, when that
// variable is set and not empty; otherwise, or when the file cannot be
// opened, the standard error. The variable is read on every call. A null
// text writes nothing.
constexpr const char* SornDebugOutputVariable = "SORN_DEBUG_OUTPUT";
SORN_WIN_API void OutputDebugStringA(LPCSTR text);

// Whether a debugger (any tracer: gdb, strace ...) is attached to the
// process: the TracerPid line of /proc/self/status is not 0.
SORN_WIN_API BOOL IsDebuggerPresent();

// DebugBreak: a breakpoint trap (SIGTRAP) for the attached debugger. With
// no debugger attached it does nothing, where the platform would end the
// process with an unhandled breakpoint.
SORN_WIN_API void DebugBreak();
