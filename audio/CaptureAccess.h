#pragma once
// What a host may ask of a capture object beyond IWaveIn, by name from the
// loaded module (the functions are exported with C names): the recording as
// it grows, for hosts that write it to a file or meter it while it is
// recorded, and the end-of-speech detector's verdicts. Both work on the
// module's own capture objects (CreateWaveIn) and answer nothing for any
// other object. Thread-safe; may be called from the capture's callback.
#include "core_contract/Devices.h"
#include "sorn_win_export.h"

// Copies up to `maxFrames` frames of the recording, `from` frames into what
// MakeWave would give, into `out` (room for maxFrames frames of the clip's
// format) and returns how many. While `whole` is 0 only the frames past the
// decided part of the leading trim come out, so a host that reads on from
// what it has read never sees a frame change; once the recording has
// stopped, a read with `whole` 1 gives the rest exactly as MakeWave would.
// 0 for a null or foreign object.
extern "C" SORN_WIN_API unsigned long SornCaptureRead(IWaveIn* capture, unsigned long from, void* out,
                                                      unsigned long maxFrames, int whole);

// What a capture knows of its current recording.
struct SornCaptureStatus {
    unsigned long recordedFrames;  // frames captured so far
    unsigned long trimmedFrames;  // leading frames MakeWave would drop now
    int verdict;  // the detector's latest: 0 no speech yet, 1 speech,
                  // 2 end of speech; -1 when no detector runs (the
                  // capture runs it only with a callback set)
    int heardSpeech;  // 1 when the detector heard speech anywhere in it
};

// Fills `status` for the capture's current recording; 0 (and nothing
// filled) for a null or foreign object or a null `status`, else 1.
extern "C" SORN_WIN_API int SornCaptureGetStatus(IWaveIn* capture, SornCaptureStatus* status);
