#pragma once
// The pitch tracker the engine is built with: one pitch in hertz per 10 ms of
// samples, found by autocorrelation of 512-sample windows and peak picking.
#include <cstdint>

#include "core_contract/Engine.h"
#include "sorn_win_export.h"

// Has the type PitchCallback. Cuts samples[0 .. count-1] into 512-sample
// windows that start sampleRate/100 samples apart (a window may start only
// below count - 1024), divides each window's autocorrelation by level squared
// and writes one pitch per window (0: none) to pitch[0], pitch[1], ... up to
// pitchCount slots. Slots no window reaches get the value the first of them
// held on entry. Failures of the numeric primitives are reported on stderr
// (level 0, for one, gives one " IPP ERROR! DivC " report per window) and the
// work goes on. No state is kept between calls, nothing is allocated, and
// calls on different arrays may run on several threads at once.
// A null pitch array is left alone; a sample rate of 0 or less analyses no
// window (the fill rule alone applies); null samples give one " IPP ERROR!
// AutoCorr " report and pitch 0 per window.
SORN_WIN_API void ExtractPitch(const float* samples, std::int32_t count, std::int16_t sampleRate, float level,
                               std::int16_t* pitch, std::int32_t pitchCount);
