#pragma once
// Threads and waits: the system's own.
#include "platform/WinTypes.h"
