#pragma once
// Recording a take into a file as it comes, as record and demo do.
//
// One pass over the frames: the capture hands over what it has added since
// the last look (SornCaptureRead), and each frame goes once to the file, to
// the level meter and, where the take is kept, to the clip. The detector
// hears each frame once: the capture's own when it stops at the end of
// speech (its verdict and whether it heard speech are read from it), else
// (--no-auto-stop, where the capture runs none) one of sorn's on the same
// new frames.
#include <cstddef>
#include <string>

#include "tools/cli/WavFile.h"
#include "tools/sorn/Commands.h"

namespace sorn::tool {

struct Take {
    std::size_t frames = 0;
    unsigned rate = 0;
    unsigned channels = 0;
    std::string ending;  // why the recording stopped
    bool heardSpeech = false;  // the detector heard speech somewhere in the take
    double trimmedSeconds = 0;  // unchanging input dropped from the start
    bool deviceLost = false;  // the device stopped answering mid-take
    double lostAfter = 0;  // seconds into the recording it was lost
    int writeError = 0;  // errno of the write that stopped the take
    cli::Pcm16Clip* keep = nullptr;  // also appends the take's frames here (its rate and channels set)
};

// Records into `path` until the capture's auto-stop (unless noAutoStop), the
// limit, Ctrl-C, a lost device or a failed write; while recording runs
// `during` (when given) on this thread. The file is written as the frames
// come, so it holds a valid take whatever stops the recording. False with
// `why` when the recording could not start.
bool RecordTake(const RecordOptions& options, const std::string& path, bool live, bool (*during)(void*), void* context,
                Take& take, std::string& why);

// The line that says why a take ended early, or "" when it did not.
std::string TakeFailure(const Take& take, const std::string& path);

}  // namespace sorn::tool
