#pragma once
// An index-based view of one platform mixer device (platform/Mixer.h):
// CMixer opens the device and holds its destination lines, CMixerDestination
// one destination line with its source lines and their controls, and
// CMixerControl the control list of one line with a ready-made detail record
// per control, through which values are read and written. The tree is read
// once, when the mixer is opened.
//
// Results: 0 or a count for success; -1 for a failure or an index out of
// range; -2 for a buffer too small (the size needed is written back); -3 for
// a control identifier that the line does not carry.
// Not thread-safe: one object is used by one thread at a time.
#include "platform/MMSystem.h"
#include "platform/Mixer.h"

class CMixerControl {
public:
    CMixerControl();
    virtual ~CMixerControl();
    CMixerControl(const CMixerControl&) = delete;
    CMixerControl& operator=(const CMixerControl&) = delete;

    // Fetches the controls of `lineRecord`; the control count, or -1.
    int Load(const MIXERLINEA& lineRecord, HMIXER mixerHandle);
    // Clears the read flags and attaches a value buffer to each fader,
    // slider and switch, up to the first meter, number, time or list control.
    void PrepareDetails();
    int GetCount();
    // A copy of control `index`; returns the line's channel count.
    int GetControl(int index, MIXERCONTROLA* control);
    int GetValue(DWORD controlId, void* buffer, DWORD* size);
    int SetValue(DWORD controlId, const void* buffer, DWORD* size);

private:
    // The first control with this identifier, or -1.
    int Find(DWORD controlId) const;
    void Release();

    HMIXER handle = nullptr;
    DWORD count = 0;
    MIXERLINEA line{};
    MIXERLINECONTROLSA query{};
    bool* valueRead = nullptr;
    void* scratch = nullptr;
    MIXERCONTROLA* controls = nullptr;
    MIXERCONTROLDETAILS* details = nullptr;
};

class CMixerDestination {
public:
    CMixerDestination();
    virtual ~CMixerDestination();
    CMixerDestination(const CMixerDestination&) = delete;
    CMixerDestination& operator=(const CMixerDestination&) = delete;

    int Init(int index, HMIXER mixerHandle);
    int LoadSources();
    int GetLine(MIXERLINEA* out);
    int GetSourceLine(int source, MIXERLINEA* out);
    int GetNumControls();
    int GetNumSources();
    int GetNumSourceControls(int source);
    int GetControl(int control, MIXERCONTROLA* out);
    int GetSourceControl(int source, int control, MIXERCONTROLA* out);
    int GetControlId(int control);
    int GetSourceControlId(int source, int control);
    int GetControlValue(DWORD controlId, void* buffer, DWORD* size);
    int SetControlValue(DWORD controlId, const void* buffer, DWORD* size);

private:
    template <typename Call>
    int Search(DWORD* size, Call call);

    DWORD numSources = 0;
    DWORD numControls = 0;
    int destinationIndex = -1;
    HMIXER handle;
    MIXERLINEA line{};
    MIXERLINEA* sourceLines = nullptr;
    CMixerControl* controls = nullptr;
    CMixerControl* sourceControls = nullptr;
};

class CMixer {
public:
    CMixer();
    virtual ~CMixer();
    CMixer(const CMixer&) = delete;
    CMixer& operator=(const CMixer&) = delete;

    int Open(UINT id, HWND callbackWindow);
    // kind: MIXER_OBJECTF_WAVEIN or MIXER_OBJECTF_WAVEOUT.
    int OpenForWave(DWORD kind, const WAVEFORMATEX& format, HWND callbackWindow);
    int QueryCaps();
    int LoadDestinations();
    int GetNumDestinations();
    int GetNumDestinationControls(int destination);
    int GetNumSources(int destination);
    int GetNumSourceControls(int destination, int source);
    int GetDestinationLine(int destination, MIXERLINEA* out);
    int GetSourceLine(int destination, int source, MIXERLINEA* out);
    int GetDestinationControl(int destination, int control, MIXERCONTROLA* out);
    int GetSourceControl(int destination, int source, int control, MIXERCONTROLA* out);
    int GetDestinationControlId(int destination, int control);
    int GetSourceControlId(int destination, int source, int control);
    int GetDestinationControlValue(int destination, int control, void* buffer, DWORD* size);
    int SetDestinationControlValue(int destination, int control, const void* buffer, DWORD* size);
    int GetSourceControlValue(int destination, int source, int control, void* buffer, DWORD* size);
    int SetSourceControlValue(int destination, int source, int control, const void* buffer, DWORD* size);

private:
    bool ValidDestination(int destination) const;
    void CloseMixer();

    DWORD numDevices = 0;
    DWORD numDestinations = 0;
    UINT mixerId = 0;
    MIXERCAPSA caps{};
    HMIXER handle;
    CMixerDestination* destinations = nullptr;
};
