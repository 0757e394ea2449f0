#pragma once
#include "sorn_win_export.h"

// The core version this module is built for.
extern "C" SORN_WIN_API const char* SornModuleVersion();
