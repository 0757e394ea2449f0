#include <cstdio>
#include <cstdlib>

#include "platform/Files.h"

char* TempNameA(LPCSTR directory, LPCSTR prefix) { return _tempnam(directory, prefix); }
