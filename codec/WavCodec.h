#pragma once
// The WAV codec: reads RIFF/WAVE files (and raw sample bytes) for the core's
// codec registry, where it is registered under "wav". It only reads; the two
// encoding operations refuse. Stateless: any thread may call it at any time.
#include <cstdint>

#include "core_contract/Codec.h"
#include "sorn_win_export.h"

namespace SornMedia::SornAudio {

class SORN_WIN_API WavCodec : public ICodec {
public:
    WavCodec() = default;
    ~WavCodec() override;
    WavCodec(const WavCodec&) = default;
    WavCodec& operator=(const WavCodec&) = default;

    // Both refuse: return 0 and touch nothing.
    int EncodeFile(const SornStringA& path, const void* data, std::uint32_t size,
                   const SornAudioFormat* format) override;
    int EncodeBuffer(const void* source, std::uint32_t sourceSize, void* data, std::uint32_t* size,
                     const SornAudioFormat* format) override;

    // data null: *size receives the length of the whole file (no header is
    // checked; a file longer than 4 GiB - 1 reports 0xFFFFFFFF, enough for
    // any data chunk a 32-bit size can describe).
    //
    // data not null: data must hold *size bytes. The file must start with
    // "RIFF", a size and "WAVEfmt "; the format is read from the 16 bytes
    // after the format chunk's size. The data chunk is the first "data"
    // chunk of the chunk chain (sorn::riff::ReadLayout: ids inside other
    // chunks are not chunks); only when the chain is broken is it found by
    // scanning for its id from offset 36. At most min(data size, *size)
    // bytes of samples are copied. Well-behaved callers pass the size query's
    // answer, which a well-formed file's data never exceeds, so the bound only
    // matters when the file grew in between. On success *size is the number
    // of bytes placed in data (fewer than the declared data size when the
    // file ends sooner; 0 when it ends within the data size field), and
    // format receives the file's channels, rate and block align, with
    // SampleNum = *size / 2.
    //
    // Every failure (null size or format, a path that is not a readable
    // regular file, "RIFF" or "WAVEfmt " missing, a header cut short, no
    // data chunk, a read error) reports SornDataSys::Warning(path, null)
    // and returns 0 with *size and *format unchanged; data may then hold
    // some bytes of the file. A file whose samples are not 16-bit integer
    // PCM (float, 24-bit, 8-bit, A-law, ...) is refused the same way, with
    // the reason as the warning's second text ("holds 32-bit float samples;
    // the WAV codec reads 16-bit PCM only").
    int DecodeFile(const SornStringA& path, void* data, std::uint32_t* size,
                   SornAudioFormat* format) override;

    // Takes sourceSize bytes as 16-bit samples as they stand. data null:
    // *size = sourceSize. Otherwise data (at least sourceSize bytes) receives
    // a copy, *size = sourceSize and format's SampleNum = sourceSize / 2; no
    // other field of format changes. Returns 0, touching nothing, for a null
    // size, a null source with a non-zero sourceSize, or a copy without format.
    int DecodeBuffer(const void* source, std::uint32_t sourceSize, void* data, std::uint32_t* size,
                     SornAudioFormat* format) override;
};

}  // namespace SornMedia::SornAudio
