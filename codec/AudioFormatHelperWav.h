#pragma once
// Stateless converter between the core's format record and the platform's
// wave format record.
#include "core_contract/Codec.h"
#include "platform/MMSystem.h"
#include "sorn_win_export.h"

namespace SornMedia::SornAudio {

class SORN_WIN_API AudioFormatHelperWav : public IAudioFormatHelper {
public:
    AudioFormatHelperWav() = default;
    ~AudioFormatHelperWav() override;
    AudioFormatHelperWav(const AudioFormatHelperWav&) = default;
    AudioFormatHelperWav& operator=(const AudioFormatHelperWav&) = default;

    // Sets, in this order: audio type 0, serialisation type 0, block align,
    // channels, sample rate. The source's tag, byte rate and bits are unused.
    void ToAudioFormat(const WAVEFORMATEX* source, SornAudioFormat* target) override;
    // Always 16-bit PCM with the source's channels and rate; the source's own
    // block align is not consulted.
    void FromAudioFormat(const SornAudioFormat* source, WAVEFORMATEX* target) override;
};

}  // namespace SornMedia::SornAudio
