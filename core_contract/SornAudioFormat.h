#pragma once
// SornAudioFormat: the core's audio format record. The default is 16-bit
// mono PCM at 16000 Hz (block align 2).
#include "sorn_core_export.h"

enum _EAudioType { SORN_AUDIO_PCM = 0 };
enum _EAudioSerializationType { SORN_SERIALIZATION_RAW = 0 };

class SORN_CORE_API SornAudioFormat {
public:
    SornAudioFormat();
    SornAudioFormat(unsigned long sampleRate, unsigned short channels, unsigned short blockAlign);
    virtual ~SornAudioFormat();
    SornAudioFormat(const SornAudioFormat&) = default;
    SornAudioFormat& operator=(const SornAudioFormat&) = default;

    unsigned long SampleRate() const { return sampleRate; }
    void SampleRate(unsigned long rate) { sampleRate = rate; }
    unsigned short ChannelNum() const { return channelNum; }
    void ChannelNum(unsigned short channels) { channelNum = channels; }
    unsigned short BlockAlign() const { return blockAlign; }
    void BlockAlign(unsigned short align) { blockAlign = align; }

    unsigned long SampleNum() const { return sampleNum; }
    void SampleNum(unsigned long samples) { sampleNum = samples; }
    _EAudioType AudioType() const { return audioType; }
    void AudioType(_EAudioType type) { audioType = type; }
    _EAudioSerializationType AudioSerializationType() const { return serializationType; }
    void AudioSerializationType(_EAudioSerializationType type) { serializationType = type; }

private:
    unsigned long sampleRate = 16000;
    unsigned short channelNum = 1;
    unsigned short blockAlign = 2;
    unsigned long sampleNum = 0;
    _EAudioType audioType = SORN_AUDIO_PCM;
    _EAudioSerializationType serializationType = SORN_SERIALIZATION_RAW;
};
