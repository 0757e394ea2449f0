#pragma once
// Streams on an ALSA PCM. Each open stream has one thread of its own that
// alone calls alsa-lib on its PCM (opened non-blocking) and calls the sink;
// the layer's calls (Start, Stop, Flush, Close) hand it a request, wake it
// through an eventfd and wait up to kRequestMs for it to be carried out.
//
// Playback: the thread keeps the device's buffer (kBufferMs) filled from
// the layer's queue, and tells the layer what has been played from the
// device's delay (frames written less the delay are the frames the device
// has consumed). When the queue runs dry while written frames remain, it
// plays silence after them (about two periods ahead) so they reach the DAC;
// that silence is never reported as played. With nothing left to play the
// PCM is dropped and the thread sleeps until more is queued. Pause drops the
// PCM after keeping the frames it had not played, which are written first
// on restart: nothing is lost, and no device needs to be able to pause.
//
// Capture: while started, whatever the device has captured is read and
// pushed to the layer as it arrives (the layer keeps what no header takes).
//
// An underrun or overrun is counted (XrunCounters) and recovered by
// preparing the PCM again; any other failure of the device (unplugged: the
// PCM answers -ENODEV, or its poll reports an error) is a device loss:
// Failed(MMSYSERR_NODRIVER) once, and every later call answers that code.
#include <alsa/asoundlib.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "platform/emulation/wave/Backend.h"
#include "threading/Mutex.h"

namespace sorn::audio::alsa {

// The device buffer and period a stream asks for. The buffer is the margin
// against a player that loses the processor for a while; it costs no
// latency (completions follow the device's delay, and pause and reset drop
// what the device holds), so it is generous.
constexpr unsigned kBufferMs = 250;
// Capture keeps a longer one: what arrives while the process is stopped
// waits there (a capture is read as each period fills, so the size adds no
// delay); a buffer that overruns loses what did not fit.
constexpr unsigned kCaptureBufferMs = 2000;
constexpr unsigned kPeriodMs = 20;
// How long a request of the layer waits for the stream's thread.
constexpr unsigned kRequestMs = 1000;

// Opens `pcmName` for `direction` in `format`: MMSYSERR_ALLOCATED when
// another program holds the device, WAVERR_BADFORMAT when even the plug
// layer cannot give the format, MMSYSERR_NODRIVER when the device is not
// there.
MMRESULT OpenStream(const std::string& pcmName, Direction direction, const StreamFormat& format,
                    std::shared_ptr<StreamSink> sink, std::unique_ptr<Stream>* stream);

// Sets `pcm` up for 16-bit interleaved `format` (buffer and period as
// above when `buffer` is given); WAVERR_BADFORMAT when it cannot.
MMRESULT Configure(snd_pcm_t* pcm, const StreamFormat& format, snd_pcm_uframes_t* buffer, snd_pcm_uframes_t* period,
                   unsigned bufferMs = kBufferMs);

// The wave error for an alsa-lib error of snd_pcm_open.
MMRESULT OpenError(int error);

// Shared between the layer's handle (OpenStream) and the stream's thread:
// alsa-lib may not return (the pulse plugin waits without a limit on a
// sound server that stalled), so Close waits for the thread about a second
// and then leaves it; the stream lives on until the thread ends, and its
// sink ignores what the thread still hands it.
class AlsaStream final : public Stream, public std::enable_shared_from_this<AlsaStream> {
public:
    AlsaStream(snd_pcm_t* pcm, Direction direction, const StreamFormat& format, snd_pcm_uframes_t buffer,
               snd_pcm_uframes_t period, std::shared_ptr<StreamSink> sink);
    ~AlsaStream() override;

    // Starts the thread; false when it cannot be (no eventfd).
    bool Begin();

    MMRESULT Start() override;
    MMRESULT Stop() override;
    MMRESULT Flush() override;
    void DataQueued() override;
    void Close() override;

private:
    enum class Request { None, Start, Stop, Flush };

    // Hands `request` to the thread and waits until it has been carried out.
    MMRESULT Ask(Request request);
    void Wake();
    void Run();
    // The thread's part of a request.
    void Carry(Request request);
    // Waits for the device or a request, up to `timeoutMs`.
    void Wait(int timeoutMs);
    // Output: tells the layer what the device consumed since the last look.
    void Account();
    // Output: writes what the layer has queued (and silence after the last
    // of it); drops the PCM when nothing is left to play.
    void Fill();
    // Input: reads and pushes what the device has captured.
    void Capture();
    // Handles a failed alsa-lib call: an xrun is recovered (true), anything
    // else loses the device (false).
    bool Recover(int error);
    void Lose();
    // Drops the PCM and forgets what was written (the real frames not yet
    // played are kept in `carry_` when `keep`).
    void Drop(bool keep);
    // Output: writes up to `frames`, recording them as real or silence;
    // how many were written, or the error when none was.
    snd_pcm_sframes_t Write(const char* data, snd_pcm_uframes_t frames, bool real);
    // Output: the device consumed `frames` more of what was written.
    void Consume(std::uint64_t frames);
    // Output: prepares the PCM for writing; false when the device is lost.
    bool Prepare();
    // Input: prepares (when needed) and starts the PCM.
    int PrepareAndStart();
    bool Failed();
    // Closes the PCM and the eventfd, once.
    void Release();
    // Milliseconds until the thread must look again.
    int NextLookMs();

    snd_pcm_t* const pcm_;
    const Direction direction_;
    const StreamFormat format_;
    const std::size_t frameBytes_;
    const snd_pcm_uframes_t buffer_;
    const snd_pcm_uframes_t period_;
    std::shared_ptr<StreamSink> sink_;
    int wake_ = -1;  // eventfd
    std::thread thread_;

    // Requests between a caller and the thread.
    Mutex mutex_;
    CondVar answered_;
    Request request_ SORN_GUARDED_BY(mutex_) = Request::None;
    std::uint64_t asked_ SORN_GUARDED_BY(mutex_) = 0;  // requests handed over
    std::uint64_t done_ SORN_GUARDED_BY(mutex_) = 0;  // requests carried out
    bool quit_ SORN_GUARDED_BY(mutex_) = false;
    bool exited_ SORN_GUARDED_BY(mutex_) = false;  // the thread has left its loop
    bool failed_ SORN_GUARDED_BY(mutex_) = false;

    // The thread's own state.
    bool running_ = false;  // started (output: the clock runs)
    bool live_ = false;  // output: the PCM is prepared and holds written frames
    struct Segment {
        snd_pcm_uframes_t frames;
        bool real;
    };
    std::vector<Segment> segments_;  // output: written and not yet consumed, in order
    std::vector<char> shadow_;  // output: the real bytes of those segments
    std::vector<char> carry_;  // output: real bytes kept across a pause
    std::uint64_t written_ = 0;  // frames written since the PCM was prepared
    std::uint64_t consumed_ = 0;  // of those, consumed by the device
    std::uint64_t realPending_ = 0;  // real frames written and not yet consumed
    std::chrono::steady_clock::time_point lastPlayed_;  // output: when frames were last reported played
    bool dry_ = false;  // output: the layer's queue ran dry at the last fill
    bool closed_ = false;  // the PCM and the eventfd are released
    std::vector<char> scratch_;
    std::vector<char> silence_;
};

}  // namespace sorn::audio::alsa
