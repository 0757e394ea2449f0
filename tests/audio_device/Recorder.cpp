#include "audio_device/Recorder.h"

#include <cstdlib>

#include "audio_device/SoundServerDevices.h"

namespace sorn::devicetest {

Recorder::Recorder(unsigned headerFrames, unsigned headerCount)
    : headerFrames_(headerFrames), blocks_(headerCount, std::vector<std::int16_t>(headerFrames)),
      headers_(headerCount) {}

Recorder::~Recorder() { Finish(); }

MMRESULT Recorder::Open(UINT device) {
    const WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, kRate, kRate * 2, 2, 16, 0};
    return waveInOpen(&device_, device, &format, reinterpret_cast<DWORD_PTR>(&Recorder::Proc),
                      reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
}

MMRESULT Recorder::Start() {
    for (std::size_t i = 0; i < headers_.size(); ++i) {
        WAVEHDR& header = headers_[i];
        header = WAVEHDR{};
        header.lpData = reinterpret_cast<LPSTR>(blocks_[i].data());
        header.dwBufferLength = headerFrames_ * 2;
        if (MMRESULT error = waveInPrepareHeader(device_, &header, sizeof header)) return error;
        if (MMRESULT error = waveInAddBuffer(device_, &header, sizeof header)) return error;
    }
    return waveInStart(device_);
}

void Recorder::Proc(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
    if (message != WIM_DATA) return;
    auto* self = reinterpret_cast<Recorder*>(instance);
    auto* header = reinterpret_cast<WAVEHDR*>(param1);
    {
        sorn::MutexLock lock(self->mutex_);
        const auto* data = reinterpret_cast<const std::int16_t*>(header->lpData);
        self->samples_.insert(self->samples_.end(), data, data + header->dwBytesRecorded / 2);
    }
    if (self->stopping_) return;
    header->dwBytesRecorded = 0;
    waveInAddBuffer(device, header, sizeof *header);
}

std::size_t Recorder::Frames() {
    sorn::MutexLock lock(mutex_);
    return samples_.size();
}

long Recorder::FirstLoud(int level) {
    sorn::MutexLock lock(mutex_);
    for (std::size_t i = 0; i < samples_.size(); ++i)
        if (std::abs(samples_[i]) > level) return static_cast<long>(i);
    return -1;
}

std::vector<std::int16_t> Recorder::Samples() {
    sorn::MutexLock lock(mutex_);
    return samples_;
}

std::vector<std::int16_t> Recorder::Finish() {
    if (device_ != nullptr) {
        stopping_ = true;
        waveInReset(device_);
        waveInReset(device_);
        for (WAVEHDR& header : headers_) {
            if (header.dwFlags & WHDR_PREPARED) waveInUnprepareHeader(device_, &header, sizeof header);
        }
        waveInClose(device_);
        device_ = nullptr;
    }
    sorn::MutexLock lock(mutex_);
    return samples_;
}

}  // namespace sorn::devicetest
