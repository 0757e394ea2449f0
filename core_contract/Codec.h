#pragma once
// Codecs, the codec registry and the format helper.
#include <cstdint>

#include "core_contract/IDelete.h"
#include "core_contract/SornAudioFormat.h"
#include "core_contract/SornString.h"

// The platform's wave format record, under its structure tag.
struct tWAVEFORMATEX;
typedef tWAVEFORMATEX WAVEFORMATEX;

// A codec for one file type. All operations return 1 for success, 0 for
// failure. The size arguments are byte counts.
class SORN_CORE_API ICodec {
public:
    virtual ~ICodec();
    virtual int EncodeFile(const SornStringA& path, const void* data, std::uint32_t size,
                           const SornAudioFormat* format) = 0;
    virtual int EncodeBuffer(const void* source, std::uint32_t sourceSize, void* data,
                             std::uint32_t* size, const SornAudioFormat* format) = 0;
    // data null: *size receives the buffer size to provide. Otherwise the
    // samples go to data and *size receives their byte count.
    virtual int DecodeFile(const SornStringA& path, void* data, std::uint32_t* size,
                           SornAudioFormat* format) = 0;
    virtual int DecodeBuffer(const void* source, std::uint32_t sourceSize, void* data,
                             std::uint32_t* size, SornAudioFormat* format) = 0;
};

// The core's codec registry, keyed by file type ("wav"). The registry owns
// the codecs registered with it: unregistering or replacing a key destroys
// its codec. Safe to use from several threads.
class SORN_CORE_API ICodecHandler : public IDelete {
public:
    virtual int RegisterCodec(const SornStringA& key, ICodec* codec) = 0;
    virtual int UnregisterCodec(const SornStringA& key) = 0;
    virtual ICodec* GetCodec(const SornStringA& key) = 0;  // null when none
};

class SORN_CORE_API IAudioFormatHelper {
public:
    virtual ~IAudioFormatHelper();
    virtual void ToAudioFormat(const WAVEFORMATEX* source, SornAudioFormat* target) = 0;
    virtual void FromAudioFormat(const SornAudioFormat* source, WAVEFORMATEX* target) = 0;
};
