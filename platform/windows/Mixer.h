#pragma once
// Mixer devices, lines and controls: the system's multimedia API (winmm).
#include "platform/MMSystem.h"
