// play-range FILE.wav [FROM_SECONDS [TO_SECONDS]]
//
// Plays part of a 16-bit WAV file (the whole file by default) on the default
// output device and returns once it has been heard.
//
// It shows a clip read through the core's codec (IWave::Load), the playback
// object (IWaveOut): pieces and how many callbacks end a range, and waiting
// for the device to play out what it holds. Without speakers, let the
// virtual device write what it plays to a file:
//
//   SORN_AUDIO=virtual:out=heard.wav ./play-range speech.wav 0.5 1.5
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "SornHost.h"

namespace {

// The end of a range once every piece has come back: min(3, pieces) calls.
// A piece comes back when the device has taken it, not when it has been
// heard, so the device's position then tells when the last sample is out.
bool PlayAndWait(IWaveOut* player, example::Signal& ended, unsigned long from, unsigned long to,
                 unsigned long pieceFrames, unsigned long rate) {
    const unsigned long frames = to - from;
    const unsigned long pieces = (frames + pieceFrames - 1) / pieceFrames;
    // Play answers 1 only when it could queue three pieces: a shorter range
    // answers 0 and still plays. Look at the error to tell the two apart.
    if (!player->Play(from, to, 0) && pieces >= 3) {
        std::fprintf(stderr, "play-range: cannot play: %s\n", example::ErrorText(player).c_str());
        return false;
    }
    // Twice the range's length and 3 s of slack, then give up.
    const auto limit = std::chrono::milliseconds(3000 + 2000ull * frames / rate);
    if (!ended.WaitFor(static_cast<int>(std::min(3ul, pieces)), limit)) {
        std::fprintf(stderr, "play-range: playback did not finish in time\n");
        return false;
    }
    // GetPosition counts the frames played since the device opened (not an
    // offset in the clip), and answers 0xFFFFFFFF once the device is lost.
    for (int waited = 0; waited < 400; ++waited) {  // 2 s at most
        const unsigned long played = player->GetPosition();
        if (played == 0xFFFFFFFFul) {
            std::fprintf(stderr, "play-range: the device was lost: %s\n", example::ErrorText(player).c_str());
            return false;
        }
        if (played >= frames) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: play-range FILE.wav [FROM_SECONDS [TO_SECONDS]]\n");
        return 2;
    }
    ISornClassFactory* factory = example::LoadModule();
    if (!factory) return 1;

    IWave* clip = example::LoadClip(factory, argv[1], "play-range");
    if (!clip) return 1;
    const unsigned long rate = clip->GetSamplesPerSec();
    const unsigned long total = clip->GetNumSamples();  // frames, whatever the channel count
    const double fromSeconds = argc > 2 ? std::atof(argv[2]) : 0.0;
    const double toSeconds = argc > 3 ? std::atof(argv[3]) : double(total) / rate;
    const auto from = static_cast<unsigned long>(std::llround(std::max(0.0, fromSeconds) * rate));
    const auto to = std::min(total, static_cast<unsigned long>(std::llround(std::max(0.0, toSeconds) * rate)));
    if (from >= to) {
        std::fprintf(stderr, "play-range: the range %.2f s to %.2f s is empty (the file has %.2f s)\n", fromSeconds,
                     toSeconds, double(total) / rate);
        clip->Delete();
        return 2;
    }

    IWaveDevice* device = factory->CreateWaveDevice();
    IWaveOut* player = factory->CreateWaveOut();
    // The player cuts pieces straight out of the clip's buffer, never copying
    // them: the clip stays ours and must not change or go while it plays.
    player->SetWave(clip);
    player->SetDevice(device);
    // Three pieces are queued at a time. Pieces of half a second keep over a
    // second at the device, so a moment without the processor leaves no gap
    // (the default, 4096 bytes, is 128 ms of 16 kHz mono).
    const unsigned long pieceFrames = std::max(1ul, rate / 2);
    player->ModifyWaveOutBufferLength(pieceFrames * clip->AudioFormat()->BlockAlign());
    // Called on the device's notification thread, once per piece still
    // queued when the range ends.
    example::Signal ended;  // outlives the player's callbacks: the player is deleted first
    player->SetWaveOutCB(&example::Signal::Callback, ended.User());

    int status = 1;
    if (!player->Open()) {  // opens the device for the clip's format
        std::fprintf(stderr, "play-range: cannot open the output device: %s\n", example::ErrorText(player).c_str());
    } else {
        if (PlayAndWait(player, ended, from, to, pieceFrames, rate)) {
            std::printf("played %.2f s to %.2f s of %s (%lu frames at %lu Hz)\n", double(from) / rate,
                        double(to) / rate, argv[1], to - from, rate);
            status = 0;
        }
        player->Close();  // stops what still plays, then closes the device
    }
    player->SetWaveOutCB(nullptr, 0);
    player->Delete();
    device->Delete();
    clip->Delete();  // only after the player: its pieces pointed into the clip
    return status;
}
