#pragma once
// Wave audio: the system's multimedia API (winmm).
#include "platform/WinTypes.h"

#include <mmsystem.h>
