#pragma once
// Wave devices, playback and capture, as the core sees them.
#include <cstdint>

#include "core_contract/IDelete.h"
#include "core_contract/SornAudioFormat.h"
#include "core_contract/SornString.h"

class IWave;

// The callback's user value is wide enough for a pointer on every platform
// (on 64-bit Linux it is unsigned long, as it always was).
typedef void (*SornWaveCallback)(std::uintptr_t user);

class SORN_CORE_API IWaveDevice : public IDelete {
public:
    virtual unsigned int GetInputDevice() const = 0;
    virtual unsigned int GetOutputDevice() const = 0;
    virtual int IsOutputFormat(const SornAudioFormat* format) = 0;
    virtual int IsInputFormat(const SornAudioFormat* format) = 0;
};

class SORN_CORE_API IWaveOut : public IDelete {
public:
    virtual SornStringA* GetError() const = 0;
    virtual unsigned long GetPosition() = 0;
    virtual int IsPlaying() = 0;
    virtual int Open() = 0;
    virtual int Close() = 0;
    virtual int Continue() = 0;
    virtual int Play(unsigned long from, unsigned long to, int flag) = 0;
    virtual int Pause() = 0;
    virtual int Stop() = 0;
    virtual void ModifyWaveOutBufferLength(unsigned long bytes) = 0;
    virtual void SetDevice(const IWaveDevice* device) = 0;
    virtual void SetWave(IWave* wave) = 0;
    virtual void SetWaveOutCB(SornWaveCallback callback, std::uintptr_t user) = 0;
    virtual double VolumeLevel() = 0;
    virtual void VolumeLevel(double level) = 0;
    virtual bool Mute(bool mute) = 0;
};

class SORN_CORE_API IWaveIn : public IDelete {
public:
    virtual SornStringA* GetError() const = 0;
    virtual unsigned long GetPosition() = 0;
    virtual int IsRecording() = 0;
    virtual IWave* MakeWave() = 0;
    virtual int Close() = 0;
    virtual int Open(unsigned int blockBytes) = 0;
    virtual int Continue() = 0;
    virtual int Pause() = 0;
    virtual int Record() = 0;
    virtual int Stop() = 0;
    virtual void SetDevice(const IWaveDevice* device) = 0;
    virtual void SetWaveFormat(SornAudioFormat* format) = 0;
    virtual void SetWaveInCB(SornWaveCallback callback, std::uintptr_t user) = 0;
    virtual double VolumeLevel() = 0;
    virtual void VolumeLevel(double level) = 0;
    virtual bool Mute(bool mute) = 0;
};
