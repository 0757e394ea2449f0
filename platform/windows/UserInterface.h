#pragma once
// Message boxes and debugger output: the system's own (user32, kernel32).
#include "platform/WinTypes.h"
