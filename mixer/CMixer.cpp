// The mixer access layer (mixer/CMixer.h) over the platform's mixer services.
#include "mixer/CMixer.h"

#include <cstdint>
#include <cstring>

#include "platform/UserInterface.h"

namespace {

HMIXER InvalidHandle() { return reinterpret_cast<HMIXER>(~std::uintptr_t{0}); }

HMIXEROBJ AsObject(HMIXER handle) { return reinterpret_cast<HMIXEROBJ>(handle); }

void ShowError(const char* text) { MessageBoxA(nullptr, text, "Error", MB_OK); }

}  // namespace

// ---- CMixerControl ----

CMixerControl::CMixerControl() : handle(InvalidHandle()) {}

CMixerControl::~CMixerControl() { Release(); }

void CMixerControl::Release() {
    if (details != nullptr) {
        for (DWORD i = 0; i < count; ++i) delete[] static_cast<DWORD*>(details[i].paDetails);
    }
    delete[] details;
    details = nullptr;
    delete[] controls;
    controls = nullptr;
    delete[] valueRead;
    valueRead = nullptr;
    scratch = nullptr;
}

int CMixerControl::Load(const MIXERLINEA& lineRecord, HMIXER mixerHandle) {
    if (lineRecord.cControls == 0 || controls != nullptr) return -1;
    handle = mixerHandle;
    count = lineRecord.cControls;
    controls = new MIXERCONTROLA[count]();
    std::memset(&query, 0, sizeof query);
    query.cbStruct = sizeof query;
    query.dwLineID = lineRecord.dwLineID;
    query.dwControlID = 0;
    query.cControls = count;
    query.cbmxctrl = sizeof(MIXERCONTROLA);
    query.pamxctrl = controls;
    if (mixerGetLineControlsA(AsObject(handle), &query, MIXER_GETLINECONTROLSF_ALL) != MMSYSERR_NOERROR) {
        delete[] controls;
        controls = nullptr;
        count = 0;  // a line without controls from now on
        return -1;
    }
    line = lineRecord;
    valueRead = new bool[count]();
    details = new MIXERCONTROLDETAILS[count]();
    PrepareDetails();
    return static_cast<int>(count);
}

void CMixerControl::PrepareDetails() {
    for (DWORD i = 0; i < count; ++i) {
        valueRead[i] = false;
        MIXERCONTROLDETAILS& record = details[i];
        record.cbStruct = sizeof record;
        record.dwControlID = 0;
        record.cMultipleItems = 0;
        record.cChannels = line.cChannels;
        switch (controls[i].dwControlType & MIXERCONTROL_CT_CLASS_MASK) {
        case MIXERCONTROL_CT_CLASS_FADER:
        case MIXERCONTROL_CT_CLASS_SLIDER:
        case MIXERCONTROL_CT_CLASS_SWITCH:
            record.cbDetails = sizeof(DWORD);
            if (record.paDetails == nullptr) record.paDetails = new DWORD[record.cChannels]();
            scratch = record.paDetails;
            break;
        case MIXERCONTROL_CT_CLASS_CUSTOM:
            // The size of one custom value is noted; no buffer is attached,
            // so custom controls are neither read nor written.
            record.cbDetails = controls[i].Metrics.cbCustomData;
            break;
        case MIXERCONTROL_CT_CLASS_METER:
        case MIXERCONTROL_CT_CLASS_NUMBER:
        case MIXERCONTROL_CT_CLASS_TIME:
        case MIXERCONTROL_CT_CLASS_LIST:
            // This control and all later ones keep a cleared record with no
            // buffer: they can be listed but not read or written.
            std::memset(&record, 0, sizeof record);
            return;
        default:
            break;
        }
    }
}

int CMixerControl::GetCount() { return static_cast<int>(count); }

int CMixerControl::GetControl(int index, MIXERCONTROLA* control) {
    if (controls == nullptr || index < 0 || static_cast<DWORD>(index) >= count || control == nullptr) return -1;
    *control = controls[index];
    return static_cast<int>(line.cChannels);
}

int CMixerControl::Find(DWORD controlId) const {
    if (controls == nullptr || details == nullptr) return -1;
    for (DWORD i = 0; i < count; ++i) {
        if (controls[i].dwControlID == controlId) return static_cast<int>(i);
    }
    return -1;
}

int CMixerControl::GetValue(DWORD controlId, void* buffer, DWORD* size) {
    const int i = Find(controlId);
    if (i < 0) {
        *size = 0;
        return -3;
    }
    MIXERCONTROLDETAILS& record = details[i];
    const DWORD needed = record.cbDetails * record.cChannels;
    if (needed > *size) {
        *size = needed;
        return -2;
    }
    std::memset(buffer, 0, *size);
    if (record.paDetails == nullptr) return -1;
    record.cbStruct = sizeof record;
    record.dwControlID = controlId;
    record.cMultipleItems = 0;
    record.cChannels = line.cChannels;
    if (mixerGetControlDetailsA(AsObject(handle), &record, MIXER_GETCONTROLDETAILSF_VALUE) != MMSYSERR_NOERROR) {
        return -1;
    }
    valueRead[i] = true;
    std::memcpy(buffer, record.paDetails, static_cast<std::size_t>(record.cChannels) * record.cbDetails);
    return 0;
}

int CMixerControl::SetValue(DWORD controlId, const void* buffer, DWORD* size) {
    const int i = Find(controlId);
    if (i < 0) {
        *size = 0;
        return -3;
    }
    if (!valueRead[i]) return -1;  // writable only after one successful read
    MIXERCONTROLDETAILS& record = details[i];
    const DWORD needed = record.cbDetails * record.cChannels;
    if (needed > *size) {
        *size = needed;
        return -2;
    }
    if (record.paDetails == nullptr) return -1;
    record.cbStruct = sizeof record;
    record.dwControlID = controlId;
    record.cMultipleItems = 0;
    record.cChannels = line.cChannels;
    std::memcpy(record.paDetails, buffer, static_cast<std::size_t>(record.cChannels) * record.cbDetails);
    return mixerSetControlDetails(AsObject(handle), &record, MIXER_SETCONTROLDETAILSF_VALUE) == MMSYSERR_NOERROR
               ? 0
               : -1;
}

// ---- CMixerDestination ----

CMixerDestination::CMixerDestination() : handle(InvalidHandle()) {}

CMixerDestination::~CMixerDestination() {
    delete[] sourceLines;
    delete controls;
    delete[] sourceControls;
}

int CMixerDestination::Init(int index, HMIXER mixerHandle) {
    handle = mixerHandle;
    destinationIndex = index;
    line.cbStruct = sizeof line;
    line.dwDestination = static_cast<DWORD>(index);
    line.dwSource = 0;
    const MMRESULT queried =
        mixerGetLineInfoA(AsObject(handle), &line, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_DESTINATION);
    numControls = line.cControls;
    if (queried != MMSYSERR_NOERROR) {
        ShowError("mixerGetLineInfo call failed!");
        numControls = 0;
        return -1;
    }
    int result = LoadSources();
    if (numControls != 0) {
        controls = new CMixerControl();
        result = controls->Load(line, handle);
    }
    return result;
}

int CMixerDestination::LoadSources() {
    if (handle == InvalidHandle()) return -1;
    numSources = line.cConnections;
    if (numSources == 0) return -2;
    sourceLines = new MIXERLINEA[numSources];
    sourceControls = new CMixerControl[numSources];
    for (DWORD s = 0; s < numSources; ++s) {
        sourceLines[s] = line;
        sourceLines[s].dwSource = s;
        if (mixerGetLineInfoA(AsObject(handle), &sourceLines[s], MIXER_GETLINEINFOF_SOURCE) != MMSYSERR_NOERROR) {
            // A source the platform cannot describe is kept without controls
            // (its record still holds the destination's fields otherwise).
            sourceLines[s].cControls = 0;
            sourceLines[s].cConnections = 0;
            continue;
        }
        sourceControls[s].Load(sourceLines[s], handle);
    }
    return 0;
}

int CMixerDestination::GetLine(MIXERLINEA* out) {
    if (destinationIndex < 0 || out == nullptr) return -1;
    *out = line;
    return 0;
}

int CMixerDestination::GetSourceLine(int source, MIXERLINEA* out) {
    if (destinationIndex < 0 || source < 0 || static_cast<DWORD>(source) >= numSources || out == nullptr) return -1;
    *out = sourceLines[source];
    return 0;
}

int CMixerDestination::GetNumControls() { return static_cast<int>(numControls); }

int CMixerDestination::GetNumSources() { return static_cast<int>(numSources); }

int CMixerDestination::GetNumSourceControls(int source) {
    if (source < 0 || static_cast<DWORD>(source) >= numSources) return -1;
    return sourceControls[source].GetCount();
}

int CMixerDestination::GetControl(int control, MIXERCONTROLA* out) {
    if (controls == nullptr || control < 0 || static_cast<DWORD>(control) >= numControls) return -1;
    return controls->GetControl(control, out);
}

int CMixerDestination::GetSourceControl(int source, int control, MIXERCONTROLA* out) {
    if (source < 0 || static_cast<DWORD>(source) >= numSources) return -1;
    return sourceControls[source].GetControl(control, out);
}

int CMixerDestination::GetControlId(int control) {
    MIXERCONTROLA record;
    if (GetControl(control, &record) < 0) return -1;
    return static_cast<int>(record.dwControlID);
}

int CMixerDestination::GetSourceControlId(int source, int control) {
    MIXERCONTROLA record;
    if (GetSourceControl(source, control, &record) < 0) return -1;
    return static_cast<int>(record.dwControlID);
}

template <typename Call>
int CMixerDestination::Search(DWORD* size, Call call) {
    auto attempt = [&](CMixerControl& lineControls) {
        DWORD trySize = *size;
        const int result = call(lineControls, &trySize);
        if (result == -2) *size = trySize;
        return result;
    };
    if (numControls != 0 && controls != nullptr) {
        const int result = attempt(*controls);
        if (result == 0 || result == -2) return result;
    }
    for (DWORD s = 0; s < numSources; ++s) {
        const int result = attempt(sourceControls[s]);
        if (result == 0 || result == -2) return result;
    }
    return -1;
}

int CMixerDestination::GetControlValue(DWORD controlId, void* buffer, DWORD* size) {
    return Search(size, [&](CMixerControl& c, DWORD* s) { return c.GetValue(controlId, buffer, s); });
}

int CMixerDestination::SetControlValue(DWORD controlId, const void* buffer, DWORD* size) {
    return Search(size, [&](CMixerControl& c, DWORD* s) { return c.SetValue(controlId, buffer, s); });
}

// ---- CMixer ----

CMixer::CMixer() : numDevices(mixerGetNumDevs()), handle(InvalidHandle()) {}

CMixer::~CMixer() {
    CloseMixer();
    delete[] destinations;
}

void CMixer::CloseMixer() {
    if (handle != InvalidHandle()) mixerClose(handle);
    handle = InvalidHandle();
}

int CMixer::Open(UINT id, HWND callbackWindow) {
    if (numDevices == 0 || id >= numDevices) return -1;
    mixerId = id;
    CloseMixer();
    const DWORD flags = callbackWindow != nullptr ? CALLBACK_WINDOW : MIXER_OBJECTF_MIXER;
    if (mixerOpen(&handle, id, reinterpret_cast<DWORD_PTR>(callbackWindow), 0, flags) != MMSYSERR_NOERROR) {
        handle = InvalidHandle();
        return -1;
    }
    const int loaded = LoadDestinations();
    return loaded < 0 ? loaded : static_cast<int>(numDevices);
}

int CMixer::OpenForWave(DWORD kind, const WAVEFORMATEX& format, HWND callbackWindow) {
    if (numDevices == 0) return -1;
    CloseMixer();
    DWORD flags = callbackWindow != nullptr ? CALLBACK_WINDOW : 0;
    const DWORD_PTR window = reinterpret_cast<DWORD_PTR>(callbackWindow);
    // The mixer is found through a wave device the mapper opens for
    // `format`, which is closed again once the mixer is open.
    HWAVEOUT waveOut = nullptr;
    HWAVEIN waveIn = nullptr;
    std::uintptr_t wave = 0;
    if (kind == MIXER_OBJECTF_WAVEOUT) {
        flags |= MIXER_OBJECTF_HWAVEOUT;
        if (waveOutOpen(&waveOut, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return -1;
        wave = reinterpret_cast<std::uintptr_t>(waveOut);
    } else if (kind == MIXER_OBJECTF_WAVEIN) {
        flags |= MIXER_OBJECTF_HWAVEIN;
        if (waveInOpen(&waveIn, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return -1;
        wave = reinterpret_cast<std::uintptr_t>(waveIn);
    } else {
        return -1;
    }
    MMRESULT opened = mixerOpen(&handle, static_cast<UINT>(wave), window, 0, flags);
    if (opened != MMSYSERR_NOERROR) {
        // Some systems know no mixer of a handle the mapper opened (Wine
        // answers MMSYSERR_BADDEVICEID, and maps every wave device id to its
        // first mixer): the mixer of the device's id when it has the
        // direction's destination, else the first mixer that has one.
        const DWORD wanted =
            waveOut != nullptr ? MIXERLINE_COMPONENTTYPE_DST_SPEAKERS : MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
        const auto serves = [&] {
            MIXERLINEA line{};
            line.cbStruct = sizeof line;
            line.dwComponentType = wanted;
            if (mixerGetLineInfoA(reinterpret_cast<HMIXEROBJ>(handle), &line,
                                  MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_COMPONENTTYPE) == MMSYSERR_NOERROR)
                return true;
            mixerClose(handle);
            return false;
        };
        UINT id = WAVE_MAPPER;
        const MMRESULT known = waveOut != nullptr ? waveOutGetID(waveOut, &id) : waveInGetID(waveIn, &id);
        opened = known == MMSYSERR_NOERROR && id != WAVE_MAPPER
                     ? mixerOpen(&handle, id, window, 0, flags & ~MIXER_OBJECTF_HANDLE)
                     : MMSYSERR_BADDEVICEID;
        if (opened == MMSYSERR_NOERROR && !serves()) opened = MMSYSERR_BADDEVICEID;
        for (UINT mixer = 0; opened != MMSYSERR_NOERROR && mixer < numDevices; ++mixer) {
            opened = mixerOpen(&handle, mixer, window, 0, (flags & CALLBACK_TYPEMASK) | MIXER_OBJECTF_MIXER);
            if (opened == MMSYSERR_NOERROR && !serves()) opened = MMSYSERR_BADDEVICEID;
        }
    }
    if (waveOut != nullptr) waveOutClose(waveOut);
    if (waveIn != nullptr) waveInClose(waveIn);
    if (opened != MMSYSERR_NOERROR) {
        handle = InvalidHandle();
        return -1;
    }
    const int loaded = LoadDestinations();
    return loaded < 0 ? loaded : static_cast<int>(numDevices);
}

int CMixer::QueryCaps() {
    std::memset(&caps, 0, sizeof caps);
    return mixerGetDevCapsA(reinterpret_cast<UINT_PTR>(handle), &caps, sizeof caps) == MMSYSERR_NOERROR ? 0 : -1;
}

int CMixer::LoadDestinations() {
    QueryCaps();
    numDestinations = caps.cDestinations;
    if (numDestinations == 0) {
        ShowError("Mixer has no destinations!");
        return -1;
    }
    delete[] destinations;
    destinations = new CMixerDestination[numDestinations];
    for (DWORD i = 0; i < numDestinations; ++i) destinations[i].Init(static_cast<int>(i), handle);
    return static_cast<int>(numDestinations);
}

bool CMixer::ValidDestination(int destination) const {
    return destinations != nullptr && destination >= 0 && static_cast<DWORD>(destination) < numDestinations;
}

int CMixer::GetNumDestinations() { return static_cast<int>(numDestinations); }

int CMixer::GetNumDestinationControls(int destination) {
    return ValidDestination(destination) ? destinations[destination].GetNumControls() : -1;
}

int CMixer::GetNumSources(int destination) {
    return ValidDestination(destination) ? destinations[destination].GetNumSources() : -1;
}

int CMixer::GetNumSourceControls(int destination, int source) {
    return ValidDestination(destination) ? destinations[destination].GetNumSourceControls(source) : -1;
}

int CMixer::GetDestinationLine(int destination, MIXERLINEA* out) {
    return ValidDestination(destination) ? destinations[destination].GetLine(out) : -1;
}

int CMixer::GetSourceLine(int destination, int source, MIXERLINEA* out) {
    return ValidDestination(destination) ? destinations[destination].GetSourceLine(source, out) : -1;
}

int CMixer::GetDestinationControl(int destination, int control, MIXERCONTROLA* out) {
    return ValidDestination(destination) ? destinations[destination].GetControl(control, out) : -1;
}

int CMixer::GetSourceControl(int destination, int source, int control, MIXERCONTROLA* out) {
    return ValidDestination(destination) ? destinations[destination].GetSourceControl(source, control, out) : -1;
}

int CMixer::GetDestinationControlId(int destination, int control) {
    return ValidDestination(destination) ? destinations[destination].GetControlId(control) : -1;
}

int CMixer::GetSourceControlId(int destination, int source, int control) {
    return ValidDestination(destination) ? destinations[destination].GetSourceControlId(source, control) : -1;
}

int CMixer::GetDestinationControlValue(int destination, int control, void* buffer, DWORD* size) {
    const int id = GetDestinationControlId(destination, control);
    if (id < 0) return id;
    return destinations[destination].GetControlValue(static_cast<DWORD>(id), buffer, size);
}

int CMixer::SetDestinationControlValue(int destination, int control, const void* buffer, DWORD* size) {
    const int id = GetDestinationControlId(destination, control);
    if (id < 0) return id;
    return destinations[destination].SetControlValue(static_cast<DWORD>(id), buffer, size);
}

int CMixer::GetSourceControlValue(int destination, int source, int control, void* buffer, DWORD* size) {
    const int id = GetSourceControlId(destination, source, control);
    if (id < 0) return id;
    return destinations[destination].GetControlValue(static_cast<DWORD>(id), buffer, size);
}

int CMixer::SetSourceControlValue(int destination, int source, int control, const void* buffer, DWORD* size) {
    const int id = GetSourceControlId(destination, source, control);
    if (id < 0) return id;
    return destinations[destination].SetControlValue(static_cast<DWORD>(id), buffer, size);
}
