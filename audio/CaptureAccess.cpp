#include "audio/CaptureAccess.h"

#include "audio/CWaveIn.h"

using SornMedia::SornAudio::CWaveIn;

extern "C" unsigned long SornCaptureRead(IWaveIn* capture, unsigned long from, void* out, unsigned long maxFrames,
                                         int whole) {
    auto* own = dynamic_cast<CWaveIn*>(capture);
    return own ? own->ReadRecording(from, out, maxFrames, whole != 0) : 0;
}

extern "C" int SornCaptureGetStatus(IWaveIn* capture, SornCaptureStatus* status) {
    auto* own = dynamic_cast<CWaveIn*>(capture);
    if (!own || !status) return 0;
    bool heard = false;
    status->verdict = own->SpeechState(&heard, &status->recordedFrames, &status->trimmedFrames);
    status->heardSpeech = heard ? 1 : 0;
    return 1;
}
