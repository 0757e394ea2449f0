#include "codec/AudioFormatHelperWav.h"

namespace SornMedia::SornAudio {

AudioFormatHelperWav::~AudioFormatHelperWav() = default;

void AudioFormatHelperWav::ToAudioFormat(const WAVEFORMATEX* source, SornAudioFormat* target) {
    if (!source || !target) return;
    target->AudioType(static_cast<_EAudioType>(0));
    target->AudioSerializationType(static_cast<_EAudioSerializationType>(0));
    target->BlockAlign(source->nBlockAlign);
    target->ChannelNum(source->nChannels);
    target->SampleRate(source->nSamplesPerSec);
}

void AudioFormatHelperWav::FromAudioFormat(const SornAudioFormat* source, WAVEFORMATEX* target) {
    if (!source || !target) return;
    const unsigned channels = source->ChannelNum();
    const auto rate = static_cast<DWORD>(source->SampleRate());
    target->wFormatTag = WAVE_FORMAT_PCM;
    target->nChannels = static_cast<WORD>(channels);
    target->nSamplesPerSec = rate;
    target->nAvgBytesPerSec = rate * channels * 2u;
    target->nBlockAlign = static_cast<WORD>(channels * 2u);
    target->wBitsPerSample = 16;
    target->cbSize = 0;
}

}  // namespace SornMedia::SornAudio
