#include "tools/sorn/Playback.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "tools/sorn/DeviceChoice.h"
#include "tools/sorn/Host.h"
#include "tools/sorn/Terminal.h"

namespace sorn::tool {

using namespace std::chrono_literals;

bool PlayRange(const std::string& command, IWave* clip, unsigned long from, unsigned long to, UINT deviceId,
               bool interactive, std::string& why) {
    const unsigned long align = clip->AudioFormat()->BlockAlign();
    const unsigned long rate = clip->GetSamplesPerSec();
    // Pieces of half a second: the three in flight keep a second or more
    // queued at the device, so a player that loses the processor for a
    // moment does not leave a gap.
    const unsigned long pieceFrames = std::max(1ul, rate / 2);
    const unsigned long frames = to - from;
    const int endings = static_cast<int>(std::min<unsigned long>(3, (frames + pieceFrames - 1) / pieceFrames));
    (void)command;

    Event done;  // outlives the player: the player is deleted (waiting for its callbacks) first
    // The factory's device is the mapper's; a numbered one is the host's.
    IWaveDevice* device = deviceId == WAVE_MAPPER ? Factory()->CreateWaveDevice() : new ChosenWaveDevice(deviceId);
    IWaveOut* player = Factory()->CreateWaveOut();
    player->SetWave(clip);
    player->SetDevice(device);
    player->ModifyWaveOutBufferLength(pieceFrames * align);
    player->SetWaveOutCB(&SignalEvent, reinterpret_cast<std::uintptr_t>(&done));
    bool finished = false;
    if (!player->Open()) {
        why = "cannot open the output device: " + ErrorText(player->GetError());
    } else if (!player->Play(from, to, 0) && frames > 2 * pieceFrames) {
        why = "cannot start playing: " + ErrorText(player->GetError());
    } else {
        Keyboard keyboard;
        const bool showKeys = interactive;
        bool paused = false;
        // Twice the range's length and 3 s of slack, not counting pauses.
        auto budget = std::chrono::milliseconds(3000 + 2000ull * frames / rate);
        auto last = std::chrono::steady_clock::now();
        // The device answers no position once it is lost (its sound server
        // died, say): the range then ends, or would never end.
        unsigned long heard = 0;
        bool lost = false;
        while (!finished) {
            finished = done.WaitFor(endings, 100ms);
            const auto now = std::chrono::steady_clock::now();
            if (!paused) budget -= std::chrono::duration_cast<std::chrono::milliseconds>(now - last);
            last = now;
            const unsigned long position = player->GetPosition();
            lost = position == 0xFFFFFFFFul;
            if (lost) break;
            heard = std::max(heard, std::min(position, frames));
            if (finished) break;
            if (interrupted) {
                player->Stop();
                why = "interrupted";
                break;
            }
            if (budget.count() < 0) {
                why = "playback did not finish in time";
                break;
            }
            if (showKeys && keyboard.Key() == ' ') {
                paused = !paused;
                paused ? player->Pause() : player->Continue();
            }
            if (interactive) {
                const double at = (from + heard) / double(rate);
                std::fprintf(stderr, "\r%s / %s%s   ", Seconds(at).c_str(), Seconds(to / double(rate)).c_str(),
                             paused ? "  paused (space resumes)" : "  (space pauses)");
                std::fflush(stderr);
            }
        }
        // The last piece has come back once it is written to the device;
        // the device's position says when it has been heard. Closing earlier
        // would cut off what the device still holds.
        const auto drainEnd = std::chrono::steady_clock::now() + 2s;
        while (finished && !lost && std::chrono::steady_clock::now() < drainEnd) {
            const unsigned long played = player->GetPosition();
            lost = played == 0xFFFFFFFFul;
            if (lost || played >= frames) break;
            heard = std::max(heard, played);
            std::this_thread::sleep_for(5ms);
        }
        if (lost) {
            finished = false;
            why = "the device was lost after " + Seconds(heard / double(rate));
        }
        if (interactive) std::fprintf(stderr, "\r\033[K");
        player->Close();
    }
    player->SetWaveOutCB(nullptr, 0);
    Release(player);
    Release(device);
    return finished;
}

}  // namespace sorn::tool
