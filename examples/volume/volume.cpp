// volume [input|output LEVEL]
//
// Prints the recording and playback volumes (0.0 to 1.0); with a line and a
// level, sets that line's volume first and prints what it reads back.
//
// It shows that volumes belong to the system's mixer, not to one stream: a
// capture or playback object reads and sets them without opening a device,
// through the module's volume manager, and every other program that uses the
// same device (through the sound server) sees the change.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SornHost.h"

int main(int argc, char** argv) {
    const bool set = argc == 3;
    const bool input = set && std::strcmp(argv[1], "input") == 0;
    char* end = nullptr;
    const double level = set ? std::strtod(argv[2], &end) : 0.0;
    if ((argc != 1 && !set) || (set && !input && std::strcmp(argv[1], "output") != 0) ||
        (set && (*end != '\0' || !(level >= 0.0 && level <= 1.0)))) {
        std::fprintf(stderr, "usage: volume [input|output LEVEL], LEVEL from 0.0 to 1.0\n");
        return 2;
    }
    ISornClassFactory* factory = example::LoadModule();
    if (!factory) return 1;

    // Both objects reach the same process-wide volume manager; they neither
    // own it nor need an open device. Without a mixer (a backend that has
    // none) a volume reads 0.0 and a setting does nothing.
    IWaveIn* recorder = factory->CreateWaveIn();
    IWaveOut* player = factory->CreateWaveOut();
    const double before = input ? recorder->VolumeLevel() : player->VolumeLevel();
    if (set) input ? recorder->VolumeLevel(level) : player->VolumeLevel(level);
    const double recording = recorder->VolumeLevel();
    const double playback = player->VolumeLevel();
    player->Delete();
    recorder->Delete();

    // The mixer keeps whole steps of 1/65535: a level reads back up to one step below.
    std::printf("recording volume: %.3f", recording);
    if (set && input) std::printf(" (was %.3f)", before);
    std::printf("\nplayback volume: %.3f", playback);
    if (set && !input) std::printf(" (was %.3f)", before);
    std::printf("\n");
    return 0;
}
