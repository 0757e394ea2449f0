#pragma once
// Waveform audio with the platform's wave API: records, constants and the
// waveOut / waveIn operations. The operations are implemented on Linux over
// a backend (platform/emulation/wave/Backend.h); this header is the whole contract
// the audio classes build on.
//
// Observable contract of every backend, as seen through these operations:
// - Completions (WOM_DONE, WIM_DATA) arrive one per queued header, in queue
//   order, on a notification thread that is never the caller's. A filled
//   capture header carries dwBytesRecorded.
// - The open and close notices are the caller's: a CALLBACK_FUNCTION gets
//   WOM_OPEN / WIM_OPEN on the thread that calls waveOutOpen / waveInOpen,
//   before that call returns, and WOM_CLOSE / WIM_CLOSE last, on the thread
//   that calls waveOutClose / waveInClose, before that call returns; both
//   with no header. Only completions come on the notification thread.
// - Reset returns every queued header through the same path, marked
//   WHDR_DONE (capture: with the bytes recorded so far), and sets the
//   position to 0; an output reset also takes a paused device out of pause.
//   waveInStop returns the partly filled header. Pause and restart keep the
//   queued headers.
// - A header must be prepared before it is queued. Queuing a header still
//   queued, and unpreparing or closing while headers are queued, give
//   WAVERR_STILLPLAYING.
// - Whether a header is queued is the layer's own record, never the flags the
//   application wrote: prepare, unprepare and queue take a header that no
//   device holds whatever its WHDR_INQUEUE says, and refuse one that a device
//   holds (any device: a header is in one queue at a time) whatever its flags
//   say. Prepare leaves exactly WHDR_PREPARED; preparing a header already
//   prepared (WHDR_PREPARED set, or queued) has no effect and returns 0.
// - The position is the number of sample frames played (or captured) since
//   open or the last reset. A paused output device shows the position the
//   pause found, though its device may play out a few more frames of its
//   latency; they count from the restart on.
// - WAVE_FORMAT_QUERY opens nothing. A bad or closed handle gives
//   MMSYSERR_INVALHANDLE.
// - waveOutGetPosition / waveInGetPosition: a null record is
//   MMSYSERR_INVALPARAM, a size short of sizeof(MMTIME) MMSYSERR_ERROR; a
//   larger size is fine.
// - The client's callback is never called with a device lock held, the open
//   and close notices included: it may queue, unprepare or reset from inside
//   the callback. Once close returns, no callback for that device runs
//   again. Close called from inside the device's own callback (WOM_OPEN
//   included) is refused (MMSYSERR_HANDLEBUSY).
// Every operation is safe to call from any thread. Beside each one below:
// whether it may be called from inside a device's callback (WOM_* / WIM_*,
// on the notification thread or, for the open notice, the opening thread).
//
// Details of this implementation (platform/emulation/wave/WaveLayer.cpp):
// - waveOutReset, waveInReset and waveInStop return only once the headers
//   they gave back have been through the callback (or after 5 s); called
//   from inside the device's own callback they do not wait, and the headers
//   follow once that callback returns. waveOutClose / waveInClose wait the
//   same way for deliveries still under way. So the caller of these must not
//   hold a lock that its callback takes.
// - WOM_OPEN / WIM_OPEN comes once the handle works (the callback may use
//   it); WOM_CLOSE / WIM_CLOSE once the notification thread has delivered
//   everything and ended (or after 10 s, should a callback not return).
// - A header stays WHDR_INQUEUE until its callback is about to run; the
//   layer sets WHDR_DONE just before calling it. CALLBACK_NULL devices get
//   the same flags with no call.
// - Only CALLBACK_NULL and CALLBACK_FUNCTION are offered (the other types give
//   MMSYSERR_NOTSUPPORTED). Only 16-bit PCM with 1-8 channels at 1000-384000
//   Hz and consistent nBlockAlign / nAvgBytesPerSec opens (WAVERR_BADFORMAT
//   otherwise). Loop flags are ignored; a trailing part of a frame in a
//   header is neither played nor filled.
// - A device that vanishes (sound server gone) returns its queued headers;
//   later calls give the backend's code (MMSYSERR_NODRIVER from the virtual
//   device), while unprepare, reset, stop and close still work so that the
//   client can clean up; they still wait for the headers the loss gave back.
// - waveOutGetDevCapsA / waveInGetDevCapsA: a size of 0 copies nothing and
//   succeeds; an open handle of the same direction stands for its device.
//   szPname is the device's name cut between characters; wChannels is 1 for
//   a mono device and 2 for any other (the values the platform documents;
//   the device's own count is in sorn::audio::DescribeDevice, and a stream
//   opens with 1 to 8 channels whatever the device has: the backend
//   converts), and dwFormats holds the bits of exactly the formats that
//   open (16-bit ones only).
// - waveInStop returns the current header only when it holds bytes.
#include "platform/WinTypes.h"

typedef UINT MMRESULT;
typedef struct HWAVEOUT__* HWAVEOUT;
typedef struct HWAVEIN__* HWAVEIN;

// Result codes.
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT MMSYSERR_HANDLEBUSY = 12;
constexpr MMRESULT MMSYSERR_INVALIDALIAS = 13;
constexpr MMRESULT MMSYSERR_BADDB = 14;
constexpr MMRESULT MMSYSERR_KEYNOTFOUND = 15;
constexpr MMRESULT MMSYSERR_READERROR = 16;
constexpr MMRESULT MMSYSERR_WRITEERROR = 17;
constexpr MMRESULT MMSYSERR_DELETEERROR = 18;
constexpr MMRESULT MMSYSERR_VALNOTFOUND = 19;
constexpr MMRESULT MMSYSERR_NODRIVERCB = 20;
constexpr MMRESULT MMSYSERR_MOREDATA = 21;
constexpr MMRESULT MMSYSERR_LASTERROR = 21;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;
constexpr MMRESULT WAVERR_SYNC = 35;
constexpr MMRESULT WAVERR_LASTERROR = 35;

constexpr UINT MAXERRORLENGTH = 256;
constexpr UINT MAXPNAMELEN = 32;

constexpr UINT WAVE_MAPPER = 0xFFFFFFFFu;
constexpr WORD WAVE_FORMAT_PCM = 1;

// waveOutOpen / waveInOpen flags.
constexpr DWORD CALLBACK_TYPEMASK = 0x00070000u;
constexpr DWORD CALLBACK_NULL = 0x00000000u;
constexpr DWORD CALLBACK_WINDOW = 0x00010000u;
constexpr DWORD CALLBACK_THREAD = 0x00020000u;
constexpr DWORD CALLBACK_FUNCTION = 0x00030000u;
constexpr DWORD CALLBACK_EVENT = 0x00050000u;
constexpr DWORD WAVE_FORMAT_QUERY = 0x0001u;
constexpr DWORD WAVE_ALLOWSYNC = 0x0002u;
constexpr DWORD WAVE_MAPPED = 0x0004u;

// Capability bits (dwFormats): rate (11.025, 22.05, 44.1, 48, 96 kHz), mono
// or stereo, 8 or 16 bits.
constexpr DWORD WAVE_FORMAT_1M08 = 0x00000001u;
constexpr DWORD WAVE_FORMAT_1S08 = 0x00000002u;
constexpr DWORD WAVE_FORMAT_1M16 = 0x00000004u;
constexpr DWORD WAVE_FORMAT_1S16 = 0x00000008u;
constexpr DWORD WAVE_FORMAT_2M08 = 0x00000010u;
constexpr DWORD WAVE_FORMAT_2S08 = 0x00000020u;
constexpr DWORD WAVE_FORMAT_2M16 = 0x00000040u;
constexpr DWORD WAVE_FORMAT_2S16 = 0x00000080u;
constexpr DWORD WAVE_FORMAT_4M08 = 0x00000100u;
constexpr DWORD WAVE_FORMAT_4S08 = 0x00000200u;
constexpr DWORD WAVE_FORMAT_4M16 = 0x00000400u;
constexpr DWORD WAVE_FORMAT_4S16 = 0x00000800u;
constexpr DWORD WAVE_FORMAT_48M08 = 0x00001000u;
constexpr DWORD WAVE_FORMAT_48S08 = 0x00002000u;
constexpr DWORD WAVE_FORMAT_48M16 = 0x00004000u;
constexpr DWORD WAVE_FORMAT_48S16 = 0x00008000u;
constexpr DWORD WAVE_FORMAT_96M08 = 0x00010000u;
constexpr DWORD WAVE_FORMAT_96S08 = 0x00020000u;
constexpr DWORD WAVE_FORMAT_96M16 = 0x00040000u;
constexpr DWORD WAVE_FORMAT_96S16 = 0x00080000u;

// Callback messages.
constexpr UINT WOM_OPEN = 0x3BB;
constexpr UINT WOM_CLOSE = 0x3BC;
constexpr UINT WOM_DONE = 0x3BD;
constexpr UINT WIM_OPEN = 0x3BE;
constexpr UINT WIM_CLOSE = 0x3BF;
constexpr UINT WIM_DATA = 0x3C0;

// Header flags.
constexpr DWORD WHDR_DONE = 0x00000001u;
constexpr DWORD WHDR_PREPARED = 0x00000002u;
constexpr DWORD WHDR_BEGINLOOP = 0x00000004u;
constexpr DWORD WHDR_ENDLOOP = 0x00000008u;
constexpr DWORD WHDR_INQUEUE = 0x00000010u;

// Time formats of MMTIME.
constexpr UINT TIME_MS = 0x0001;
constexpr UINT TIME_SAMPLES = 0x0002;
constexpr UINT TIME_BYTES = 0x0004;
constexpr UINT TIME_SMPTE = 0x0008;
constexpr UINT TIME_MIDI = 0x0010;
constexpr UINT TIME_TICKS = 0x0020;

// Named tWAVEFORMATEX with the platform's headers, so one forward
// declaration (core_contract/Codec.h) serves both.
#pragma pack(push, 1)
struct tWAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
#pragma pack(pop)
typedef tWAVEFORMATEX WAVEFORMATEX;

struct WAVEHDR {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    WAVEHDR* lpNext;
    DWORD_PTR reserved;
};

struct MMTIME {
    UINT wType;
    union {
        DWORD ms;
        DWORD sample;
        DWORD cb;
        DWORD ticks;
        struct {
            BYTE hour, min, sec, frame, fps, dummy, pad[2];
        } smpte;
        struct {
            DWORD songptrpos;
        } midi;
    } u;
};

struct WAVEOUTCAPSA {
    WORD wMid;
    WORD wPid;
    UINT vDriverVersion;
    char szPname[MAXPNAMELEN];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
    DWORD dwSupport;
};

struct WAVEINCAPSA {
    WORD wMid;
    WORD wPid;
    UINT vDriverVersion;
    char szPname[MAXPNAMELEN];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
};

// The client's callback (CALLBACK_FUNCTION): handle, message, the instance
// value given to open, then the header (WOM_DONE, WIM_DATA) and 0.
typedef void (*WAVEOUTPROC)(HWAVEOUT device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2);
typedef void (*WAVEINPROC)(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2);

// Output.
// May be called from a callback: yes.
SORN_WIN_API UINT waveOutGetNumDevs();
// May be called from a callback: yes.
SORN_WIN_API MMRESULT waveOutGetDevCapsA(UINT_PTR deviceId, WAVEOUTCAPSA* caps, UINT size);
// May be called from a callback: yes (another device; its WOM_OPEN comes on this thread).
SORN_WIN_API MMRESULT waveOutOpen(HWAVEOUT* device, UINT deviceId, const WAVEFORMATEX* format, DWORD_PTR callback,
                                  DWORD_PTR instance, DWORD flags);
// May be called from a callback: no for its own device (refused: MMSYSERR_HANDLEBUSY); yes for another.
SORN_WIN_API MMRESULT waveOutClose(HWAVEOUT device);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header, UINT size);
// May be called from a callback: yes (the header just delivered is no longer queued).
SORN_WIN_API MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header, UINT size);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header, UINT size);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT waveOutPause(HWAVEOUT device);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT waveOutRestart(HWAVEOUT device);
// May be called from a callback: yes (there it does not wait for the headers it returns).
SORN_WIN_API MMRESULT waveOutReset(HWAVEOUT device);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT waveOutGetPosition(HWAVEOUT device, MMTIME* time, UINT size);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT waveOutGetErrorTextA(MMRESULT error, char* text, UINT size);

// Input.
// May be called from a callback: yes.
SORN_WIN_API UINT waveInGetNumDevs();
// May be called from a callback: yes.
SORN_WIN_API MMRESULT waveInGetDevCapsA(UINT_PTR deviceId, WAVEINCAPSA* caps, UINT size);
// May be called from a callback: yes (another device; its WIM_OPEN comes on this thread).
SORN_WIN_API MMRESULT waveInOpen(HWAVEIN* device, UINT deviceId, const WAVEFORMATEX* format, DWORD_PTR callback,
                                 DWORD_PTR instance, DWORD flags);
// May be called from a callback: no for its own device (refused: MMSYSERR_HANDLEBUSY); yes for another.
SORN_WIN_API MMRESULT waveInClose(HWAVEIN device);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT waveInPrepareHeader(HWAVEIN device, WAVEHDR* header, UINT size);
// May be called from a callback: yes (the header just delivered is no longer queued).
SORN_WIN_API MMRESULT waveInUnprepareHeader(HWAVEIN device, WAVEHDR* header, UINT size);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT waveInAddBuffer(HWAVEIN device, WAVEHDR* header, UINT size);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT waveInStart(HWAVEIN device);
// May be called from a callback: yes (there it does not wait for the header it returns).
SORN_WIN_API MMRESULT waveInStop(HWAVEIN device);
// May be called from a callback: yes (there it does not wait for the headers it returns).
SORN_WIN_API MMRESULT waveInReset(HWAVEIN device);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT waveInGetPosition(HWAVEIN device, MMTIME* time, UINT size);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT waveInGetErrorTextA(MMRESULT error, char* text, UINT size);

// The device an open handle plays or records on: its id, or WAVE_MAPPER for
// a handle the mapper opened. MMSYSERR_INVALPARAM for a null `id`,
// MMSYSERR_INVALHANDLE for a handle that is not open in that direction.
// May be called from a callback: yes.
SORN_WIN_API MMRESULT waveOutGetID(HWAVEOUT device, UINT* id);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT waveInGetID(HWAVEIN device, UINT* id);

namespace sorn::audio {
// What a host lists about one wave device beyond its capability record.
struct DeviceDescription {
    char name[256];  // the whole name (szPname holds its first 31 bytes)
    char key[256];  // the backend's own name for it (a sink's name), "" when none
    WORD channels;  // the device's own
    DWORD rate;  // the device's own rate; 0 when unknown
    BOOL monitor;  // an input that records what an output plays
    BOOL isDefault;  // WAVE_MAPPER opens this device now
};
// Describes device `deviceId` (an id below waveOutGetNumDevs / waveInGetNumDevs,
// WAVE_MAPPER for the default, or an open handle): MMSYSERR_NOERROR,
// MMSYSERR_BADDEVICEID, MMSYSERR_NODRIVER, or MMSYSERR_INVALPARAM for a null
// record. Texts longer than the fields are cut between characters.
// May be called from a callback: yes.
SORN_WIN_API MMRESULT DescribeDevice(bool output, UINT_PTR deviceId, DeviceDescription* description);
}  // namespace sorn::audio
