#pragma once
// CWaveDevice: the wave device that playback and capture open, and the
// question whether it takes a format.
//
// One id serves both directions. 0xFFFFFFFF (WAVE_MAPPER, the default) lets
// the platform pick its default device, for capture and playback alike; any
// other value is a device number of the platform. The format questions open
// nothing: they ask the device with WAVE_FORMAT_QUERY, always for 16-bit PCM
// with the format's channel count and rate. Safe from any thread.
#include "core_contract/Devices.h"
#include "sorn_win_export.h"

namespace SornMedia::SornAudio {

class SORN_WIN_API CWaveDevice : public IWaveDevice {
public:
    CWaveDevice(unsigned int id = 0xFFFFFFFFu);
    ~CWaveDevice() override;
    // Takes the source's GetInputDevice() as its id.
    CWaveDevice(const CWaveDevice& other);
    CWaveDevice& operator=(const CWaveDevice& other);

    unsigned int GetInputDevice() const override;
    unsigned int GetOutputDevice() const override;
    // 1 when the device accepts the format, else 0 (a null format gives 0).
    int IsOutputFormat(const SornAudioFormat* format) override;
    int IsInputFormat(const SornAudioFormat* format) override;

private:
    unsigned int deviceId;
};

}  // namespace SornMedia::SornAudio
