// The recorded data of CWaveIn: the recording, and MakeWave, which takes it, drops the leading steps of 160 sample
// frames that do not change from one to the next, and hands the rest to the capture object's clip.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "audio/CWaveIn.h"

namespace SornMedia::SornAudio {

IWave* CWaveIn::MakeWave() {
    sorn::MutexLock lock(stateLock);
    const unsigned long count = GetNumSamples();
    const unsigned long align = wave->AudioFormat()->BlockAlign();

    // The joint area holds count * align bytes, as the clip's format says.
    // Each block was kept with its own sample size, so the area also grows
    // to hold the whole recording should the clip's format have changed
    // since the blocks were captured.
    const unsigned long blockBytes = static_cast<unsigned long>(recorded.size());
    const unsigned long jointBytes = std::max(count * align, blockBytes);
    std::vector<short> joint((jointBytes + 1) / 2, 0);
    unsigned char* const area = reinterpret_cast<unsigned char*>(joint.data());
    if (blockBytes > 0) std::memcpy(area, recorded.data(), blockBytes);

    // Trim: steps of 160 sample frames (160 16-bit samples on mono, each
    // frame with all its channels on more); the first step that differs from
    // the one after it starts the clip, and the last full step is always
    // kept. A block align that is not a whole number of 16-bit samples (not
    // what the device delivers) is cut in steps of 160 16-bit samples.
    const int channels = TrimChannels(align);
    const long stepBytes = static_cast<long>(kTrimFrame) * 2 * channels;
    long steps = static_cast<long>(count / kTrimFrame);
    steps = std::min(steps, static_cast<long>(jointBytes) / stepBytes);  // never past the area
    long dropped = 0;
    while (dropped < steps - 1) {
        if (!DiscardSamples(joint.data(), static_cast<int>(dropped), channels)) break;
        ++dropped;
    }

    const unsigned long kept = count - static_cast<unsigned long>(dropped) * kTrimFrame;
    if (kept == 0) return nullptr;  // nothing recorded: the clip stays as it was
    const unsigned long skip = static_cast<unsigned long>(dropped * stepBytes);
    const unsigned long rest = jointBytes - skip;
    std::vector<unsigned char> output(std::max(rest, kept * align), 0);
    std::memcpy(output.data(), area + skip, rest);
    wave->SetBuffer(output.data(), kept, 1);
    return wave.get();
}

unsigned long CWaveIn::GetNumSamples() { return recordedFrames; }

void CWaveIn::ForgetRecording() {
    recorded.clear();
    recordedFrames = 0;
    lastVerdict = -1;
    speechHeard = false;
    trimDropped = -1;
    trimCompared = 0;
}

long CWaveIn::TrimmedSteps(unsigned long count, unsigned long align, bool whole) {
    const int channels = TrimChannels(align);
    const long stepBytes = static_cast<long>(kTrimFrame) * 2 * channels;
    long steps = static_cast<long>(count / kTrimFrame);
    steps = std::min(steps, static_cast<long>(recorded.size()) / stepBytes);
    // Steps compared once are never compared again: the recording only grows.
    // Equal bytes are what DiscardSamples calls an unchanging step.
    while (trimDropped < 0 && trimCompared < steps - 1) {
        const unsigned char* step = recorded.data() + trimCompared * stepBytes;
        if (std::memcmp(step, step + stepBytes, static_cast<std::size_t>(stepBytes)) != 0)
            trimDropped = trimCompared;
        else
            ++trimCompared;
    }
    if (trimDropped >= 0 || !whole) return trimDropped;
    return std::max(0L, steps - 1);
}

unsigned long CWaveIn::ReadRecording(unsigned long from, void* out, unsigned long maxFrames, bool whole) {
    sorn::MutexLock lock(stateLock);
    const unsigned long align = wave->AudioFormat()->BlockAlign();
    const unsigned long count = GetNumSamples();
    if (!out || align == 0 || recorded.size() < count * align) return 0;
    const long dropped = TrimmedSteps(count, align, whole);
    if (dropped < 0) return 0;
    const unsigned long first = static_cast<unsigned long>(dropped) * kTrimFrame;
    const unsigned long available = count - first;
    if (from >= available) return 0;
    const unsigned long frames = std::min(maxFrames, available - from);
    std::memcpy(out, recorded.data() + (first + from) * align, frames * align);
    return frames;
}

int CWaveIn::SpeechState(bool* heard, unsigned long* frames, unsigned long* trimmedFrames) {
    sorn::MutexLock lock(stateLock);
    const unsigned long align = wave->AudioFormat()->BlockAlign();
    const unsigned long count = GetNumSamples();
    const long dropped = align && recorded.size() >= count * align ? TrimmedSteps(count, align, true) : 0;
    *heard = speechHeard;
    *frames = count;
    *trimmedFrames = static_cast<unsigned long>(dropped) * kTrimFrame;
    return lastVerdict;
}

int CWaveIn::DiscardSamples(short* data, int frame, int channels) {
    const long width = static_cast<long>(kTrimFrame) * channels;
    const short* current = data + static_cast<long>(frame) * width;
    const short* next = current + width;
    std::int32_t sum = 0;
    for (long k = 0; k < width && sum <= 0; ++k) sum += std::abs(static_cast<std::int32_t>(next[k]) - current[k]);
    return sum <= 0 ? 1 : 0;
}

int CWaveIn::TrimChannels(unsigned long align) {
    return align >= 4 && align % 2 == 0 ? static_cast<int>(align / 2) : 1;
}

}  // namespace SornMedia::SornAudio
