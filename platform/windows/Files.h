#pragma once
// Files and directories: the system's own, and the one service it lacks.
#include "platform/WinTypes.h"

// The temporary-name service: a path made of a directory, a separator, the
// prefix and a number, naming no file at the moment of the call (the C
// runtime's _tempnam: the environment variable TMP, the given directory, the
// system's temporary directory, in that order). No file is created.
// Returns a string allocated with malloc (release it with free), or null.
SORN_WIN_API char* TempNameA(LPCSTR directory, LPCSTR prefix);
