#include "audio/CWaveDevice.h"

#include "codec/AudioFormatHelperWav.h"
#include "platform/MMSystem.h"

namespace SornMedia::SornAudio {

namespace {

// The format as the device is asked for it: 16-bit PCM.
WAVEFORMATEX QueryRecord(const SornAudioFormat* format) {
    WAVEFORMATEX record{};
    AudioFormatHelperWav helper;
    helper.FromAudioFormat(format, &record);
    return record;
}

}  // namespace

CWaveDevice::CWaveDevice(unsigned int id) : deviceId(id) {}

CWaveDevice::~CWaveDevice() = default;

CWaveDevice::CWaveDevice(const CWaveDevice& other) : IWaveDevice(other), deviceId(other.GetInputDevice()) {}

CWaveDevice& CWaveDevice::operator=(const CWaveDevice& other) {
    IWaveDevice::operator=(other);
    deviceId = other.deviceId;
    return *this;
}

unsigned int CWaveDevice::GetInputDevice() const { return deviceId; }

unsigned int CWaveDevice::GetOutputDevice() const { return deviceId; }

int CWaveDevice::IsOutputFormat(const SornAudioFormat* format) {
    if (!format) return 0;
    WAVEFORMATEX record = QueryRecord(format);
    return waveOutOpen(nullptr, GetOutputDevice(), &record, 0, 0, WAVE_FORMAT_QUERY) == MMSYSERR_NOERROR ? 1 : 0;
}

int CWaveDevice::IsInputFormat(const SornAudioFormat* format) {
    if (!format) return 0;
    WAVEFORMATEX record = QueryRecord(format);
    return waveInOpen(nullptr, GetInputDevice(), &record, 0, 0, WAVE_FORMAT_QUERY) == MMSYSERR_NOERROR ? 1 : 0;
}

}  // namespace SornMedia::SornAudio
