#pragma once
// The platform's mixer services: records, constants and the mixer*
// operations. Implemented once on Linux over a mixer backend
// (platform/emulation/mixer/MixerBackend.h): the sound server's volumes
// (platform/backends/pulse/PulseMixer.cpp) or the virtual device's mixer trees
// (platform/emulation/virtual/VirtualMixer.h), whichever belongs to the wave backend in
// use.
//
// Our records are those of the platform's 64-bit build: cbStruct, size and
// cbmxctrl arguments must be sizeof the record given here (a 32-bit program's
// 48 / 168 / 148 / 24 are refused with MMSYSERR_INVALPARAM).
//
// Details of this implementation (platform/emulation/mixer/MixerLayer.cpp):
// - Mixer ids run from 0 to mixerGetNumDevs() - 1. Where a mixer object is
//   named with MIXER_OBJECTF_MIXER, an open mixer handle is accepted as well
//   as an id. MIXER_OBJECTF_WAVEOUT / WAVEIN name the mixer that serves
//   that wave device of the current wave backend, MIXER_OBJECTF_HWAVEOUT /
//   HWAVEIN the mixer that serves the open wave stream's device. Where the
//   backend has one mixer per device (the sound server: mixer k serves the
//   k-th device, sinks first, then sources in the wave layer's order), the
//   mixer of WAVE_MAPPER (an id or a stream the mapper opened) follows the
//   default device: each of its reads and writes acts on the default of
//   that moment. Backends with one mixer serve every device with mixer 0.
//   mixerGetID gives the id of such a mixer; for the mapper, that of the
//   default device's mixer now.
// - Line ids: destination d has id d, its source s has ((s + 1) << 16) | d.
//   Control ids are the backend's and stay below 0x80000000.
// - Values: one MIXERCONTROLDETAILS_UNSIGNED / _SIGNED / _BOOLEAN (4 bytes,
//   cbDetails at least 4) per channel, times cMultipleItems for multiple-item
//   controls. cChannels is 1 or the line's channel count; one channel on a
//   line of several reads the largest value and writes all channels. A value
//   outside the control's bounds is refused with MMSYSERR_INVALPARAM and
//   nothing changes (booleans take any value, non-zero meaning on). Meters
//   cannot be set (MMSYSERR_NOTSUPPORTED); custom controls are neither read
//   nor written (MMSYSERR_NOTSUPPORTED).
// - There are no windows: CALLBACK_WINDOW with a null handle is accepted at
//   open, but no change notice is ever posted; with any other handle (none
//   names a window) open fails with MMSYSERR_INVALPARAM.
// - Values are read from and written to the backend on every call (no cache);
//   a backend that has gone away answers MMSYSERR_NODRIVER.
// Every operation is safe to call from any thread, and from inside a wave
// device's callback (platform/MMSystem.h), which runs with no lock held: a
// mixer has no callbacks of its own. With the sound server, a call there may
// wait for the server's answer (up to its reply timeout) and hold up the
// device's later completions meanwhile.
#include "platform/MMSystem.h"

typedef struct HMIXER__* HMIXER;
typedef struct HMIXEROBJ__* HMIXEROBJ;

constexpr MMRESULT MIXERR_BASE = 1024;
constexpr MMRESULT MIXERR_INVALLINE = MIXERR_BASE + 0;
constexpr MMRESULT MIXERR_INVALCONTROL = MIXERR_BASE + 1;
constexpr MMRESULT MIXERR_INVALVALUE = MIXERR_BASE + 2;
constexpr MMRESULT MIXERR_LASTERROR = MIXERR_BASE + 2;

constexpr UINT MIXER_SHORT_NAME_CHARS = 16;
constexpr UINT MIXER_LONG_NAME_CHARS = 64;

// Change notices (never posted here).
constexpr UINT MM_MIXM_LINE_CHANGE = 0x3D0;
constexpr UINT MM_MIXM_CONTROL_CHANGE = 0x3D1;

// Object flags of mixerOpen and the query operations.
constexpr DWORD MIXER_OBJECTF_HANDLE = 0x80000000u;
constexpr DWORD MIXER_OBJECTF_MIXER = 0x00000000u;
constexpr DWORD MIXER_OBJECTF_HMIXER = MIXER_OBJECTF_HANDLE | MIXER_OBJECTF_MIXER;
constexpr DWORD MIXER_OBJECTF_WAVEOUT = 0x10000000u;
constexpr DWORD MIXER_OBJECTF_HWAVEOUT = MIXER_OBJECTF_HANDLE | MIXER_OBJECTF_WAVEOUT;
constexpr DWORD MIXER_OBJECTF_WAVEIN = 0x20000000u;
constexpr DWORD MIXER_OBJECTF_HWAVEIN = MIXER_OBJECTF_HANDLE | MIXER_OBJECTF_WAVEIN;
constexpr DWORD MIXER_OBJECTF_MIDIOUT = 0x30000000u;
constexpr DWORD MIXER_OBJECTF_HMIDIOUT = MIXER_OBJECTF_HANDLE | MIXER_OBJECTF_MIDIOUT;
constexpr DWORD MIXER_OBJECTF_MIDIIN = 0x40000000u;
constexpr DWORD MIXER_OBJECTF_HMIDIIN = MIXER_OBJECTF_HANDLE | MIXER_OBJECTF_MIDIIN;
constexpr DWORD MIXER_OBJECTF_AUX = 0x50000000u;
constexpr DWORD MIXER_OBJECTF_TYPEMASK = 0xF0000000u;

struct MIXERCAPSA {
    WORD wMid;
    WORD wPid;
    UINT vDriverVersion;
    char szPname[MAXPNAMELEN];
    DWORD fdwSupport;
    DWORD cDestinations;
};

// Line flags.
constexpr DWORD MIXERLINE_LINEF_ACTIVE = 0x00000001u;
constexpr DWORD MIXERLINE_LINEF_DISCONNECTED = 0x00008000u;
constexpr DWORD MIXERLINE_LINEF_SOURCE = 0x80000000u;

// Component types.
constexpr DWORD MIXERLINE_COMPONENTTYPE_DST_FIRST = 0x00000000u;
constexpr DWORD MIXERLINE_COMPONENTTYPE_DST_UNDEFINED = 0;
constexpr DWORD MIXERLINE_COMPONENTTYPE_DST_DIGITAL = 1;
constexpr DWORD MIXERLINE_COMPONENTTYPE_DST_LINE = 2;
constexpr DWORD MIXERLINE_COMPONENTTYPE_DST_MONITOR = 3;
constexpr DWORD MIXERLINE_COMPONENTTYPE_DST_SPEAKERS = 4;
constexpr DWORD MIXERLINE_COMPONENTTYPE_DST_HEADPHONES = 5;
constexpr DWORD MIXERLINE_COMPONENTTYPE_DST_TELEPHONE = 6;
constexpr DWORD MIXERLINE_COMPONENTTYPE_DST_WAVEIN = 7;
constexpr DWORD MIXERLINE_COMPONENTTYPE_DST_VOICEIN = 8;
constexpr DWORD MIXERLINE_COMPONENTTYPE_DST_LAST = 8;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_FIRST = 0x00001000u;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED = 0x1000;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_DIGITAL = 0x1001;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_LINE = 0x1002;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE = 0x1003;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_SYNTHESIZER = 0x1004;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC = 0x1005;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_TELEPHONE = 0x1006;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_PCSPEAKER = 0x1007;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT = 0x1008;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY = 0x1009;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_ANALOG = 0x100A;
constexpr DWORD MIXERLINE_COMPONENTTYPE_SRC_LAST = 0x100A;

// Target types.
constexpr DWORD MIXERLINE_TARGETTYPE_UNDEFINED = 0;
constexpr DWORD MIXERLINE_TARGETTYPE_WAVEOUT = 1;
constexpr DWORD MIXERLINE_TARGETTYPE_WAVEIN = 2;
constexpr DWORD MIXERLINE_TARGETTYPE_MIDIOUT = 3;
constexpr DWORD MIXERLINE_TARGETTYPE_MIDIIN = 4;
constexpr DWORD MIXERLINE_TARGETTYPE_AUX = 5;

struct MIXERLINEA {
    DWORD cbStruct;
    DWORD dwDestination;
    DWORD dwSource;
    DWORD dwLineID;
    DWORD fdwLine;
    DWORD_PTR dwUser;
    DWORD dwComponentType;
    DWORD cChannels;
    DWORD cConnections;
    DWORD cControls;
    char szShortName[MIXER_SHORT_NAME_CHARS];
    char szName[MIXER_LONG_NAME_CHARS];
    struct {
        DWORD dwType;
        DWORD dwDeviceID;
        WORD wMid;
        WORD wPid;
        UINT vDriverVersion;
        char szPname[MAXPNAMELEN];
    } Target;
};

// mixerGetLineInfoA queries.
constexpr DWORD MIXER_GETLINEINFOF_DESTINATION = 0x00000000u;
constexpr DWORD MIXER_GETLINEINFOF_SOURCE = 0x00000001u;
constexpr DWORD MIXER_GETLINEINFOF_LINEID = 0x00000002u;
constexpr DWORD MIXER_GETLINEINFOF_COMPONENTTYPE = 0x00000003u;
constexpr DWORD MIXER_GETLINEINFOF_TARGETTYPE = 0x00000004u;
constexpr DWORD MIXER_GETLINEINFOF_QUERYMASK = 0x0000000Fu;

// Control flags.
constexpr DWORD MIXERCONTROL_CONTROLF_UNIFORM = 0x00000001u;
constexpr DWORD MIXERCONTROL_CONTROLF_MULTIPLE = 0x00000002u;
constexpr DWORD MIXERCONTROL_CONTROLF_DISABLED = 0x80000000u;

// Control classes, subclasses and units.
constexpr DWORD MIXERCONTROL_CT_CLASS_MASK = 0xF0000000u;
constexpr DWORD MIXERCONTROL_CT_CLASS_CUSTOM = 0x00000000u;
constexpr DWORD MIXERCONTROL_CT_CLASS_METER = 0x10000000u;
constexpr DWORD MIXERCONTROL_CT_CLASS_SWITCH = 0x20000000u;
constexpr DWORD MIXERCONTROL_CT_CLASS_NUMBER = 0x30000000u;
constexpr DWORD MIXERCONTROL_CT_CLASS_SLIDER = 0x40000000u;
constexpr DWORD MIXERCONTROL_CT_CLASS_FADER = 0x50000000u;
constexpr DWORD MIXERCONTROL_CT_CLASS_TIME = 0x60000000u;
constexpr DWORD MIXERCONTROL_CT_CLASS_LIST = 0x70000000u;
constexpr DWORD MIXERCONTROL_CT_SUBCLASS_MASK = 0x0F000000u;
constexpr DWORD MIXERCONTROL_CT_SC_SWITCH_BOOLEAN = 0x00000000u;
constexpr DWORD MIXERCONTROL_CT_SC_SWITCH_BUTTON = 0x01000000u;
constexpr DWORD MIXERCONTROL_CT_SC_METER_POLLED = 0x00000000u;
constexpr DWORD MIXERCONTROL_CT_SC_TIME_MICROSECS = 0x00000000u;
constexpr DWORD MIXERCONTROL_CT_SC_TIME_MILLISECS = 0x01000000u;
constexpr DWORD MIXERCONTROL_CT_SC_LIST_SINGLE = 0x00000000u;
constexpr DWORD MIXERCONTROL_CT_SC_LIST_MULTIPLE = 0x01000000u;
constexpr DWORD MIXERCONTROL_CT_UNITS_MASK = 0x00FF0000u;
constexpr DWORD MIXERCONTROL_CT_UNITS_CUSTOM = 0x00000000u;
constexpr DWORD MIXERCONTROL_CT_UNITS_BOOLEAN = 0x00010000u;
constexpr DWORD MIXERCONTROL_CT_UNITS_SIGNED = 0x00020000u;
constexpr DWORD MIXERCONTROL_CT_UNITS_UNSIGNED = 0x00030000u;
constexpr DWORD MIXERCONTROL_CT_UNITS_DECIBELS = 0x00040000u;
constexpr DWORD MIXERCONTROL_CT_UNITS_PERCENT = 0x00050000u;

// Control types.
constexpr DWORD MIXERCONTROL_CONTROLTYPE_CUSTOM = 0x00000000u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_BOOLEANMETER = 0x10010000u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_SIGNEDMETER = 0x10020000u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_PEAKMETER = 0x10020001u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_UNSIGNEDMETER = 0x10030000u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_BOOLEAN = 0x20010000u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_ONOFF = 0x20010001u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_MUTE = 0x20010002u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_MONO = 0x20010003u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_LOUDNESS = 0x20010004u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_STEREOENH = 0x20010005u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_BASS_BOOST = 0x20012277u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_BUTTON = 0x21010000u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_DECIBELS = 0x30040000u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_SIGNED = 0x30020000u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_UNSIGNED = 0x30030000u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_PERCENT = 0x30050000u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_SLIDER = 0x40020000u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_PAN = 0x40020001u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_QSOUNDPAN = 0x40020002u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_FADER = 0x50030000u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_VOLUME = 0x50030001u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_BASS = 0x50030002u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_TREBLE = 0x50030003u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_EQUALIZER = 0x50030004u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_MICROTIME = 0x60030000u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_MILLITIME = 0x61030000u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_SINGLESELECT = 0x70010000u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_MUX = 0x70010001u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_MULTIPLESELECT = 0x71010000u;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_MIXER = 0x71010001u;

struct MIXERCONTROLA {
    DWORD cbStruct;
    DWORD dwControlID;
    DWORD dwControlType;
    DWORD fdwControl;
    DWORD cMultipleItems;
    char szShortName[MIXER_SHORT_NAME_CHARS];
    char szName[MIXER_LONG_NAME_CHARS];
    // The platform's bounds union, laid out the same: minimum, maximum,
    // then reserved words (anonymous structs are not standard C++).
    struct {
        union {
            LONG lMinimum;
            DWORD dwMinimum;
        };
        union {
            LONG lMaximum;
            DWORD dwMaximum;
        };
        DWORD dwReserved[4];
    } Bounds;
    union {
        DWORD cSteps;
        DWORD cbCustomData;
        DWORD dwReserved[6];
    } Metrics;
};

struct MIXERLINECONTROLSA {
    DWORD cbStruct;
    DWORD dwLineID;
    union {
        DWORD dwControlID;
        DWORD dwControlType;
    };
    DWORD cControls;
    DWORD cbmxctrl;
    MIXERCONTROLA* pamxctrl;
};

// mixerGetLineControlsA queries.
constexpr DWORD MIXER_GETLINECONTROLSF_ALL = 0x00000000u;
constexpr DWORD MIXER_GETLINECONTROLSF_ONEBYID = 0x00000001u;
constexpr DWORD MIXER_GETLINECONTROLSF_ONEBYTYPE = 0x00000002u;
constexpr DWORD MIXER_GETLINECONTROLSF_QUERYMASK = 0x0000000Fu;

struct MIXERCONTROLDETAILS {
    DWORD cbStruct;
    DWORD dwControlID;
    DWORD cChannels;
    union {
        HWND hwndOwner;
        DWORD cMultipleItems;
    };
    DWORD cbDetails;
    void* paDetails;
};

struct MIXERCONTROLDETAILS_UNSIGNED {
    DWORD dwValue;
};
struct MIXERCONTROLDETAILS_SIGNED {
    LONG lValue;
};
struct MIXERCONTROLDETAILS_BOOLEAN {
    LONG fValue;
};
struct MIXERCONTROLDETAILS_LISTTEXTA {
    DWORD dwParam1;
    DWORD dwParam2;
    char szName[MIXER_LONG_NAME_CHARS];
};

// mixerGetControlDetailsA / mixerSetControlDetails queries.
constexpr DWORD MIXER_GETCONTROLDETAILSF_VALUE = 0x00000000u;
constexpr DWORD MIXER_GETCONTROLDETAILSF_LISTTEXT = 0x00000001u;
constexpr DWORD MIXER_GETCONTROLDETAILSF_QUERYMASK = 0x0000000Fu;
constexpr DWORD MIXER_SETCONTROLDETAILSF_VALUE = 0x00000000u;
constexpr DWORD MIXER_SETCONTROLDETAILSF_CUSTOM = 0x00000001u;
constexpr DWORD MIXER_SETCONTROLDETAILSF_QUERYMASK = 0x0000000Fu;

// May be called from a callback: yes.
SORN_WIN_API UINT mixerGetNumDevs();
// May be called from a callback: yes.
SORN_WIN_API MMRESULT mixerOpen(HMIXER* mixer, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT mixerClose(HMIXER mixer);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT mixerGetID(HMIXEROBJ object, UINT* id, DWORD flags);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT mixerGetDevCapsA(UINT_PTR id, MIXERCAPSA* caps, UINT size);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT mixerGetLineInfoA(HMIXEROBJ mixer, MIXERLINEA* line, DWORD flags);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT mixerGetLineControlsA(HMIXEROBJ mixer, MIXERLINECONTROLSA* controls, DWORD flags);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT mixerGetControlDetailsA(HMIXEROBJ mixer, MIXERCONTROLDETAILS* details, DWORD flags);
// May be called from a callback: yes.
SORN_WIN_API MMRESULT mixerSetControlDetails(HMIXEROBJ mixer, MIXERCONTROLDETAILS* details, DWORD flags);
