#pragma once
// Clips (IWave, CWave) and captured blocks (WaveBuffer).
#include <vector>

#include "core_contract/IDelete.h"
#include "core_contract/SornAudioFormat.h"
#include "core_contract/SornString.h"

// A clip: interleaved samples of one format. Not safe to change from one
// thread while another reads it; a clip being played must not change.
class SORN_CORE_API IWave : public IDelete {
public:
    // Raw sample bytes in the given format (null: the clip's own format).
    virtual int Load(const void* data, unsigned long bytes, const SornAudioFormat* format) = 0;
    // A file, decoded by the codec registered for its extension ("wav", ...).
    virtual int Load(const SornStringA& path) = 0;
    // A canonical 16-bit PCM WAV file (44-byte header).
    virtual int Save(const SornStringA& path) = 0;
    virtual unsigned long GetBufferLength() = 0;  // bytes
    virtual unsigned long GetNumSamples() = 0;    // sample frames
    virtual void* GetBuffer() = 0;                // null when empty
    // count sample frames of AudioFormat()->BlockAlign() bytes each. With
    // copy = 1 the clip takes a copy (the caller may free data at once); with
    // copy = 0 it refers to the caller's memory, which must outlive the clip
    // or the next SetBuffer.
    virtual int SetBuffer(void* data, unsigned long count, int copy) = 0;
    virtual unsigned long GetSamplesPerSec() = 0;
    virtual void AudioFormat(SornAudioFormat* format) = 0;  // the clip keeps a copy
    virtual SornAudioFormat* AudioFormat() = 0;             // the clip's own record
};

class SORN_CORE_API CWave : public IWave {
public:
    CWave();
    ~CWave() override;
    CWave(const CWave& other);
    CWave& operator=(const CWave& other);

    int Load(const void* data, unsigned long bytes, const SornAudioFormat* format) override;
    int Load(const SornStringA& path) override;
    int Save(const SornStringA& path) override;
    unsigned long GetBufferLength() override;
    unsigned long GetNumSamples() override;
    void* GetBuffer() override;
    int SetBuffer(void* data, unsigned long count, int copy) override;
    unsigned long GetSamplesPerSec() override;
    void AudioFormat(SornAudioFormat* format) override;
    SornAudioFormat* AudioFormat() override;

private:
    SornAudioFormat format_;
    std::vector<unsigned char> owned_;
    unsigned char* data_ = nullptr;  // owned_.data() or the caller's memory
    unsigned long bytes_ = 0;
};

// One captured block: a copy of count samples of sampleSize bytes each.
class SORN_CORE_API WaveBuffer {
public:
    WaveBuffer();
    virtual ~WaveBuffer();
    WaveBuffer(const WaveBuffer&) = delete;
    WaveBuffer& operator=(const WaveBuffer&) = delete;

    // Copies count samples of sampleSize bytes; the caller may free source at
    // once. Returns 1, or 0 for a null source with a non-zero count or a
    // sample size below 1.
    int CopyBuffer(const void* source, unsigned long count, int sampleSize);
    void* GetBuffer();
    unsigned long GetNumSamples() const;
    int GetSampleSize() const;

private:
    std::vector<unsigned char> data_;
    unsigned long count_ = 0;
    int sampleSize_ = 0;
};
