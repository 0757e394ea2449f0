#pragma once
// Playback and record streams on the PulseAudio sound server.
//
// Output: the server asks for bytes (write callback); the stream pulls them
// from the layer's queue and writes them. Played frames come from the
// server's timing (interpolated between its reports): every callback, and a
// timer armed for the moment the oldest queued header should end (at most
// 15 ms ahead while the position is wanted), tell the layer how many frames
// have really been played, so a header completes shortly after its last
// sample has left the sink. When the layer's queue runs dry a drain goes out
// at once, so a server that plays in whole cycles (PipeWire) does not hold
// back the last piece. Pause corks the stream, reset flushes it. Played
// frames are counted from the stream index where the data after the last
// flush (or after a drained stream's next write) begins.
//
// Input: the server delivers fragments (read callback); while started they
// are pushed to the layer, which fills the queued headers. What finds no
// header waits, up to kRecordBacklogMs, until one is queued (DataQueued).
// Holes in the record stream are pushed as silence so the timing stays
// right.
//
// Either direction: when the stream fails (the server died, the device went
// away) the layer hears Failed once and every later call answers
// MMSYSERR_NODRIVER. Nothing waits without a timeout.
#include <memory>

#include "platform/audio/Backend.h"

namespace sorn::audio::pulse {

// Opens a stream on `device` (kDefaultDevice: the server's default sink or
// source) of the server `server` (empty: libpulse's default).
MMRESULT OpenStream(const std::string& server, Direction direction, UINT device,
                    const StreamFormat& format, std::shared_ptr<StreamSink> sink,
                    std::unique_ptr<Stream>* stream);

// Buffering. Playback keeps about this much queued at the server (it only
// decides how far ahead data is written, not when a header counts as
// played). PipeWire's pulse service grants at most 120 ms; asked for 50 ms
// it granted 37.5 ms, less than two of its 20 ms cycles, and a busy
// machine ran the stream dry mid-tone. Record delivers fragments of
// kRecordFragmentMs. Played frames are checked this often while output is
// in flight and the end of the oldest header is not known yet.
constexpr unsigned kPlaybackTargetMs = 120;
constexpr unsigned kRecordFragmentMs = 20;
// Captured input kept while no header is queued; beyond it input is lost.
constexpr unsigned kRecordBacklogMs = 1000;
constexpr unsigned kPlayedCheckMs = 4;

}  // namespace sorn::audio::pulse
