// record-speech TAKE.wav [MAX_SECONDS]
//
// Records from the default input device until the speaker stops talking (or
// MAX_SECONDS pass, 30 by default), then saves the take as a 16-bit WAV file.
//
// It shows the capture object (IWaveIn): its format and block size, the
// end-of-speech callback and the thread it comes on, and how the take is
// taken out with MakeWave. To try it without a microphone, let the virtual
// device read a file as its input:
//
//   SORN_AUDIO=virtual:in=speech.wav ./record-speech take.wav
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "SornHost.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: record-speech TAKE.wav [MAX_SECONDS]\n");
        return 2;
    }
    const std::string path = argv[1];
    const double maxSeconds = argc == 3 ? std::atof(argv[2]) : 30.0;
    if (!(maxSeconds > 0 && maxSeconds <= 3600)) {
        std::fprintf(stderr, "record-speech: MAX_SECONDS must be above 0 and at most 3600\n");
        return 2;
    }

    ISornClassFactory* factory = example::LoadModule();
    if (!factory) return 1;

    // Every object the factory makes is ours, and is given back with its
    // Delete() (never `delete`: it was allocated by another library).
    IWaveDevice* device = factory->CreateWaveDevice();  // the default input and output
    IWaveIn* recorder = factory->CreateWaveIn();
    recorder->SetDevice(device);

    // 16 kHz mono, 16-bit: what the end-of-speech detector and the pitch
    // tracker are made for. The format record is copied.
    SornAudioFormat format(16000, 1, 2);  // rate, channels, bytes per frame
    recorder->SetWaveFormat(&format);

    // The callback comes once, on the capture's own worker thread, when the
    // detector has heard speech and then enough silence after it. The
    // recording has already stopped by then. Without a callback the capture
    // runs no detector and records until Stop().
    example::Signal endOfSpeech;  // declared before the recorder is deleted, so it outlives its callbacks
    recorder->SetWaveInCB(&example::Signal::Callback, endOfSpeech.User());

    // Two blocks take turns at the device; each comes back full. 100 ms
    // blocks (3,200 bytes at 16 kHz mono) are how often the take grows and
    // so how late the end of speech can be noticed.
    const unsigned blockBytes = 16000 / 10 * 2;
    int status = 1;
    if (!recorder->Open(blockBytes)) {
        std::fprintf(stderr, "record-speech: cannot open the input device: %s\n", example::ErrorText(recorder).c_str());
    } else if (!recorder->Record()) {
        std::fprintf(stderr, "record-speech: cannot record: %s\n", example::ErrorText(recorder).c_str());
        recorder->Close();
    } else {
        std::fprintf(stderr, "recording; speak, then stay silent...\n");
        const auto limit = std::chrono::milliseconds(static_cast<long long>(maxSeconds * 1000));
        const bool heardTheEnd = endOfSpeech.WaitFor(1, limit);
        // The device may also stop by itself (a lost sound server, say):
        // then IsRecording() is 0 and no callback comes, and the wait above
        // runs to its limit. A host that must notice sooner polls
        // IsRecording() or GetPosition() (0xFFFFFFFF once the device is lost).
        if (!heardTheEnd) recorder->Stop();

        // MakeWave returns the capture's own clip, the whole take with the
        // unchanging input before it trimmed. It stays the capture's (the
        // next MakeWave overwrites it): save or copy what you keep.
        IWave* take = recorder->MakeWave();
        const unsigned long frames = take ? take->GetNumSamples() : 0;
        const double seconds = double(frames) / format.SampleRate();
        if (frames == 0) {
            std::fprintf(stderr, "record-speech: nothing was recorded (%s)\n", example::ErrorText(recorder).c_str());
        } else if (!take->Save(SornStringA(path.c_str()))) {
            std::fprintf(stderr, "record-speech: cannot write %s\n", path.c_str());
        } else {
            std::printf("recorded %.2f s (%lu frames at %lu Hz), %s; saved %s\n", seconds, frames, format.SampleRate(),
                        heardTheEnd ? "stopped at the end of speech" : "stopped at the limit", path.c_str());
            status = 0;
        }
        recorder->Close();
    }

    // Clear the callback, then give the objects back. Delete() waits for a
    // callback under way, so `endOfSpeech` is not used after this.
    recorder->SetWaveInCB(nullptr, 0);
    recorder->Delete();
    device->Delete();
    return status;
}
