// The mixer* operations of platform/Mixer.h, once for every backend: the
// handle table, the argument and record checks, the records filled from a
// backend's tree, and the value transfers. Backends are described in
// platform/emulation/mixer/MixerBackend.h.
#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/Mixer.h"
#include "platform/emulation/mixer/MixerBackend.h"
#include "platform/emulation/text/CopyName.h"
#include "platform/emulation/wave/Backend.h"
#include "platform/emulation/wave/WaveLayer.h"
#include "threading/Mutex.h"

namespace sorn::mixer {
namespace {

using audio::Direction;

// One open mixer (or one opened for the length of a query by id).
struct OpenMixer {
    Mutex mutex;  // one backend call at a time
    std::unique_ptr<MixerDevice> device SORN_GUARDED_BY(mutex);
    // What it was opened as, set before it is shared: a mixer id, or
    // (waveDevice set) the mixer serving a wave device of `direction`.
    std::shared_ptr<MixerBackend> backend;
    UINT id = MixerBackend::kNoMixer;
    bool forWave = false;
    Direction direction = Direction::Output;
    UINT waveDevice = audio::kDefaultDevice;

    // Its mixer id now: for the mapper's, the default device's mixer.
    UINT Id() const { return forWave ? backend->MixerOf(direction, waveDevice) : id; }
};

struct HandleTable {
    Mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<OpenMixer>> mixers SORN_GUARDED_BY(mutex);
    std::uintptr_t next SORN_GUARDED_BY(mutex) = 0x6D0000;  // apart from mixer ids and wave handles
};

HandleTable& Handles() {
    static HandleTable* table = new HandleTable();  // never destroyed
    return *table;
}

std::shared_ptr<OpenMixer> FindHandle(std::uintptr_t handle) {
    HandleTable& table = Handles();
    MutexLock lock(table.mutex);
    auto it = table.mixers.find(handle);
    return it == table.mixers.end() ? nullptr : it->second;
}

std::shared_ptr<MixerBackend> CurrentMixers() { return audio::CurrentBackend()->Mixers(); }

MMRESULT OpenDevice(const std::shared_ptr<MixerBackend>& backend, UINT id, std::shared_ptr<OpenMixer>* result) {
    if (!backend) return MMSYSERR_NODRIVER;
    // The backend checks the id itself: asking for the count first would
    // cost the sound server a second connection.
    auto mixer = std::make_shared<OpenMixer>();
    MutexLock lock(mixer->mutex);  // not yet shared: no one else takes it
    if (MMRESULT error = backend->Open(id, &mixer->device)) return error;
    if (!mixer->device) return MMSYSERR_NODRIVER;
    mixer->backend = backend;
    mixer->id = id;
    *result = std::move(mixer);
    return MMSYSERR_NOERROR;
}

// Opens the mixer that serves wave device `waveDevice` (kDefaultDevice for
// the mapper) of `direction`.
MMRESULT OpenForWave(const std::shared_ptr<MixerBackend>& backend, Direction direction, UINT waveDevice,
                     std::shared_ptr<OpenMixer>* result) {
    if (!backend) return MMSYSERR_NODRIVER;
    auto mixer = std::make_shared<OpenMixer>();
    MutexLock lock(mixer->mutex);  // not yet shared: no one else takes it
    if (MMRESULT error = backend->OpenFor(direction, waveDevice, &mixer->device)) return error;
    if (!mixer->device) return MMSYSERR_NODRIVER;
    mixer->backend = backend;
    mixer->forWave = true;
    mixer->direction = direction;
    mixer->waveDevice = waveDevice;
    *result = std::move(mixer);
    return MMSYSERR_NOERROR;
}

bool IsMapper(std::uintptr_t object) { return object == WAVE_MAPPER || object == static_cast<std::uintptr_t>(-1); }

// The wave device an object of type MIXER_OBJECTF_WAVEOUT / WAVEIN /
// HWAVEOUT / HWAVEIN names, and the mixers of its backend.
MMRESULT WaveDeviceOf(std::uintptr_t object, DWORD type, Direction* direction, UINT* waveDevice,
                      std::shared_ptr<MixerBackend>* mixers) {
    const bool handle = type == MIXER_OBJECTF_HWAVEOUT || type == MIXER_OBJECTF_HWAVEIN;
    *direction = type == MIXER_OBJECTF_WAVEOUT || type == MIXER_OBJECTF_HWAVEOUT ? Direction::Output : Direction::Input;
    if (handle) {
        std::shared_ptr<audio::Backend> backend =
            audio::detail::BackendOf(*direction, reinterpret_cast<const void*>(object), waveDevice);
        if (!backend) return MMSYSERR_INVALHANDLE;
        *mixers = backend->Mixers();
        return MMSYSERR_NOERROR;
    }
    if (IsMapper(object)) {
        *waveDevice = audio::kDefaultDevice;
    } else {
        const UINT waveDevices = *direction == Direction::Output ? waveOutGetNumDevs() : waveInGetNumDevs();
        if (object >= waveDevices) return MMSYSERR_BADDEVICEID;
        *waveDevice = static_cast<UINT>(object);
    }
    *mixers = CurrentMixers();
    return MMSYSERR_NOERROR;
}

// The mixer an object names: an open mixer handle, a mixer id, a wave device
// id or an open wave handle (`flags` holds MIXER_OBJECTF_*). Ids open the
// device for the caller's use only.
MMRESULT Resolve(std::uintptr_t object, DWORD flags, std::shared_ptr<OpenMixer>* result) {
    switch (flags & MIXER_OBJECTF_TYPEMASK) {
        case MIXER_OBJECTF_HMIXER:
            *result = FindHandle(object);
            return *result ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
        case MIXER_OBJECTF_MIXER:
            if ((*result = FindHandle(object))) return MMSYSERR_NOERROR;
            if (object > 0xFFFFFFFFu) return MMSYSERR_BADDEVICEID;
            return OpenDevice(CurrentMixers(), static_cast<UINT>(object), result);
        case MIXER_OBJECTF_WAVEOUT:
        case MIXER_OBJECTF_WAVEIN:
        case MIXER_OBJECTF_HWAVEOUT:
        case MIXER_OBJECTF_HWAVEIN: {
            Direction direction = Direction::Output;
            UINT waveDevice = audio::kDefaultDevice;
            std::shared_ptr<MixerBackend> mixers;
            if (MMRESULT error = WaveDeviceOf(object, flags & MIXER_OBJECTF_TYPEMASK, &direction, &waveDevice, &mixers))
                return error;
            return OpenForWave(mixers, direction, waveDevice, result);
        }
        case MIXER_OBJECTF_MIDIOUT:
        case MIXER_OBJECTF_HMIDIOUT:
        case MIXER_OBJECTF_MIDIIN:
        case MIXER_OBJECTF_HMIDIIN:
        case MIXER_OBJECTF_AUX:
            return MMSYSERR_NODRIVER;  // no MIDI or auxiliary devices here
        default:
            return MMSYSERR_INVALFLAG;
    }
}

// An open mixer, locked (one backend call at a time) while this lives. The
// lock passes from function to function inside this record, where the
// analysis cannot follow it: the accessors check that it is held and say so.
struct LockedMixer {
    std::shared_ptr<OpenMixer> mixer;
    std::unique_lock<Mutex> lock;  // of mixer->mutex; released before mixer
    void AssertLocked() const SORN_ASSERT_CAPABILITY(mixer->mutex) {
        assert(lock.owns_lock() && lock.mutex() == &mixer->mutex);
        mixer->mutex.AssertHeld();
    }
    MixerDevice& Device() const {
        AssertLocked();
        return *mixer->device;
    }
    const MixerTree& Tree() const { return Device().Tree(); }
};

// Finds the mixer `object` names (`type`: a MIXER_OBJECTF_ type) and locks
// it; one closed meanwhile is an invalid handle.
MMRESULT LockMixer(std::uintptr_t object, DWORD type, LockedMixer* locked) {
    if (MMRESULT error = Resolve(object, type, &locked->mixer)) return error;
    locked->lock = std::unique_lock(locked->mixer->mutex);
    locked->AssertLocked();
    if (!locked->mixer->device) return MMSYSERR_INVALHANDLE;
    return MMSYSERR_NOERROR;
}

using text::CopyName;

constexpr DWORD kNoSource = 0xFFFFFFFFu;

DWORD LineId(DWORD destination, DWORD source) {
    return source == kNoSource ? destination : (((source + 1) << 16) | destination);
}

const LineInfo* LineOf(const MixerTree& tree, DWORD destination, DWORD source) {
    if (destination >= tree.destinations.size()) return nullptr;
    const DestinationInfo& d = tree.destinations[destination];
    if (source == kNoSource) return &d.line;
    return source < d.sources.size() ? &d.sources[source] : nullptr;
}

bool DecodeLineId(const MixerTree& tree, DWORD lineId, DWORD* destination, DWORD* source) {
    *destination = lineId & 0xFFFFu;
    const DWORD high = lineId >> 16;
    *source = high == 0 ? kNoSource : high - 1;
    return LineOf(tree, *destination, *source) != nullptr;
}

MMRESULT FillLine(const MixerTree& tree, DWORD destination, DWORD source, MIXERLINEA* line) {
    const LineInfo* info = LineOf(tree, destination, source);
    if (info == nullptr) return MIXERR_INVALLINE;
    if (info->lineQuery != MMSYSERR_NOERROR) return info->lineQuery;
    const DWORD cbStruct = line->cbStruct;
    std::memset(line, 0, sizeof *line);
    line->cbStruct = cbStruct;
    line->dwDestination = destination;
    line->dwSource = source == kNoSource ? 0 : source;
    line->dwLineID = LineId(destination, source);
    line->fdwLine = info->flags | (source == kNoSource ? 0 : MIXERLINE_LINEF_SOURCE);
    line->dwComponentType = info->componentType;
    line->cChannels = info->channels;
    line->cConnections = source == kNoSource ? static_cast<DWORD>(tree.destinations[destination].sources.size()) : 0;
    line->cControls = static_cast<DWORD>(info->controls.size());
    CopyName(line->szShortName, sizeof line->szShortName, info->shortName);
    CopyName(line->szName, sizeof line->szName, info->name);
    line->Target.dwType = info->targetType;
    line->Target.vDriverVersion = 0x0100;
    CopyName(line->Target.szPname, sizeof line->Target.szPname, info->targetName);
    return MMSYSERR_NOERROR;
}

void FillControl(const ControlInfo& info, MIXERCONTROLA* control) {
    std::memset(control, 0, sizeof *control);
    control->cbStruct = sizeof *control;
    control->dwControlID = info.id;
    control->dwControlType = info.type;
    control->fdwControl = info.flags;
    control->cMultipleItems = (info.flags & MIXERCONTROL_CONTROLF_MULTIPLE) ? info.multipleItems : 0;
    CopyName(control->szShortName, sizeof control->szShortName, info.shortName);
    CopyName(control->szName, sizeof control->szName, info.name);
    control->Bounds.dwMinimum = info.minimum;
    control->Bounds.dwMaximum = info.maximum;
    control->Metrics.cSteps = info.steps;
}

struct FoundControl {
    const LineInfo* line = nullptr;
    const ControlInfo* control = nullptr;
    DWORD lineId = 0;
};

bool FindControl(const MixerTree& tree, DWORD id, FoundControl* found) {
    auto search = [&](const LineInfo& line, DWORD lineId) {
        for (const ControlInfo& control : line.controls) {
            if (control.id == id) {
                *found = {&line, &control, lineId};
                return true;
            }
        }
        return false;
    };
    for (DWORD d = 0; d < tree.destinations.size(); ++d) {
        const DestinationInfo& destination = tree.destinations[d];
        if (search(destination.line, LineId(d, kNoSource))) return true;
        for (DWORD s = 0; s < destination.sources.size(); ++s) {
            if (search(destination.sources[s], LineId(d, s))) return true;
        }
    }
    return false;
}

// Checks a value transfer and gives the layout: `channels` values of
// `items` each in the caller's record, `deviceChannels` at the backend.
struct Transfer {
    FoundControl found;
    DWORD channels = 0;
    DWORD deviceChannels = 0;
    DWORD items = 1;
};

MMRESULT CheckTransfer(const MixerTree& tree, const MIXERCONTROLDETAILS* details, Transfer* transfer) {
    if (details == nullptr || details->cbStruct != sizeof(MIXERCONTROLDETAILS)) return MMSYSERR_INVALPARAM;
    if (!FindControl(tree, details->dwControlID, &transfer->found)) return MIXERR_INVALCONTROL;
    const ControlInfo& control = *transfer->found.control;
    const DWORD lineChannels = transfer->found.line->channels;
    if ((control.type & MIXERCONTROL_CT_CLASS_MASK) == MIXERCONTROL_CT_CLASS_CUSTOM) return MMSYSERR_NOTSUPPORTED;
    const bool multiple = (control.flags & MIXERCONTROL_CONTROLF_MULTIPLE) != 0;
    if (multiple ? details->cMultipleItems != control.multipleItems : details->cMultipleItems != 0) {
        return MMSYSERR_INVALPARAM;
    }
    if (details->cChannels != 1 && details->cChannels != lineChannels) return MMSYSERR_INVALPARAM;
    if (details->cbDetails < sizeof(DWORD) || details->paDetails == nullptr) return MMSYSERR_INVALPARAM;
    transfer->channels = details->cChannels;
    transfer->deviceChannels = (control.flags & MIXERCONTROL_CONTROLF_UNIFORM) ? 1 : lineChannels;
    transfer->items = multiple ? std::max<DWORD>(control.multipleItems, 1) : 1;
    return MMSYSERR_NOERROR;
}

DWORD* Slot(const MIXERCONTROLDETAILS* details, DWORD index) {
    return reinterpret_cast<DWORD*>(static_cast<char*>(details->paDetails) +
                                    static_cast<std::size_t>(index) * details->cbDetails);
}

// Whether a value lies within the control's bounds; booleans become 0 or 1.
bool InBounds(const ControlInfo& control, DWORD* value) {
    switch (control.type & MIXERCONTROL_CT_UNITS_MASK) {
        case MIXERCONTROL_CT_UNITS_BOOLEAN:
            *value = *value != 0 ? 1 : 0;
            return true;
        case MIXERCONTROL_CT_UNITS_SIGNED:
        case MIXERCONTROL_CT_UNITS_DECIBELS: {
            const LONG v = static_cast<LONG>(*value);
            return v >= static_cast<LONG>(control.minimum) && v <= static_cast<LONG>(control.maximum);
        }
        default:
            return *value >= control.minimum && *value <= control.maximum;
    }
}

// A transfer checked against the tree of an open mixer, which stays locked
// while this lives.
struct LockedTransfer {
    LockedMixer locked;
    Transfer transfer;
};

// What reading and writing control details both do first: check the flags
// (`queryMask` holds the query bits, `valueQuery` is the one query served,
// `unsupportedQuery` the one answered MMSYSERR_NOTSUPPORTED), find the open
// mixer, lock it, and check the transfer against its tree.
MMRESULT BeginTransfer(HMIXEROBJ object, const MIXERCONTROLDETAILS* details, DWORD flags, DWORD queryMask,
                       DWORD valueQuery, DWORD unsupportedQuery, LockedTransfer* begun) {
    if (details == nullptr) return MMSYSERR_INVALPARAM;
    if (flags & ~(MIXER_OBJECTF_TYPEMASK | queryMask)) return MMSYSERR_INVALFLAG;
    const DWORD query = flags & queryMask;
    if (query == unsupportedQuery) return MMSYSERR_NOTSUPPORTED;
    if (query != valueQuery) return MMSYSERR_INVALFLAG;
    if (MMRESULT error =
            LockMixer(reinterpret_cast<std::uintptr_t>(object), flags & MIXER_OBJECTF_TYPEMASK, &begun->locked)) {
        return error;
    }
    return CheckTransfer(begun->locked.Tree(), details, &begun->transfer);
}

}  // namespace
}  // namespace sorn::mixer

using namespace sorn::mixer;

UINT mixerGetNumDevs() {
    std::shared_ptr<MixerBackend> backend = CurrentMixers();
    return backend ? backend->DeviceCount() : 0;
}

MMRESULT mixerOpen(HMIXER* mixer, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    if (mixer == nullptr) return MMSYSERR_INVALPARAM;
    const DWORD callbackType = flags & CALLBACK_TYPEMASK;
    if (callbackType != CALLBACK_NULL && callbackType != CALLBACK_WINDOW) return MMSYSERR_INVALFLAG;
    if (flags & ~(CALLBACK_TYPEMASK | MIXER_OBJECTF_TYPEMASK)) return MMSYSERR_INVALFLAG;
    if ((flags & MIXER_OBJECTF_TYPEMASK) == MIXER_OBJECTF_HMIXER) return MMSYSERR_INVALFLAG;
    // There are no windows here, so no handle names one.
    if (callbackType == CALLBACK_WINDOW && callback != 0) return MMSYSERR_INVALPARAM;
    std::shared_ptr<OpenMixer> opened;
    const std::uintptr_t object = id;
    MMRESULT error = MMSYSERR_NOERROR;
    if ((flags & MIXER_OBJECTF_TYPEMASK) == MIXER_OBJECTF_MIXER) {
        error = OpenDevice(CurrentMixers(), id, &opened);  // an id here, never a handle
    } else {
        error = Resolve(object, flags & MIXER_OBJECTF_TYPEMASK, &opened);
    }
    if (error != MMSYSERR_NOERROR) return error;
    HandleTable& table = Handles();
    sorn::MutexLock lock(table.mutex);
    const std::uintptr_t handle = table.next++;
    table.mixers.emplace(handle, std::move(opened));
    *mixer = reinterpret_cast<HMIXER>(handle);
    return MMSYSERR_NOERROR;
}

MMRESULT mixerClose(HMIXER mixer) {
    std::shared_ptr<OpenMixer> closing;
    {
        HandleTable& table = Handles();
        sorn::MutexLock lock(table.mutex);
        auto it = table.mixers.find(reinterpret_cast<std::uintptr_t>(mixer));
        if (it == table.mixers.end()) return MMSYSERR_INVALHANDLE;
        closing = std::move(it->second);
        table.mixers.erase(it);
    }
    // Waits for a call still under way on another thread, then closes.
    sorn::MutexLock lock(closing->mutex);
    closing->device.reset();
    return MMSYSERR_NOERROR;
}

MMRESULT mixerGetID(HMIXEROBJ object, UINT* id, DWORD flags) {
    if (id == nullptr) return MMSYSERR_INVALPARAM;
    if (flags & ~MIXER_OBJECTF_TYPEMASK) return MMSYSERR_INVALFLAG;
    const std::uintptr_t named = reinterpret_cast<std::uintptr_t>(object);
    UINT found = MixerBackend::kNoMixer;
    switch (const DWORD type = flags & MIXER_OBJECTF_TYPEMASK) {
        case MIXER_OBJECTF_HMIXER:
        case MIXER_OBJECTF_MIXER: {
            if (std::shared_ptr<OpenMixer> open = FindHandle(named)) {
                found = open->Id();
                break;
            }
            if (type == MIXER_OBJECTF_HMIXER) return MMSYSERR_INVALHANDLE;
            if (named >= mixerGetNumDevs()) return MMSYSERR_BADDEVICEID;
            found = static_cast<UINT>(named);
            break;
        }
        case MIXER_OBJECTF_WAVEOUT:
        case MIXER_OBJECTF_WAVEIN:
        case MIXER_OBJECTF_HWAVEOUT:
        case MIXER_OBJECTF_HWAVEIN: {
            Direction direction = Direction::Output;
            UINT waveDevice = sorn::audio::kDefaultDevice;
            std::shared_ptr<MixerBackend> mixers;
            if (MMRESULT error = WaveDeviceOf(named, type, &direction, &waveDevice, &mixers)) return error;
            if (!mixers) return MMSYSERR_NODRIVER;
            found = mixers->MixerOf(direction, waveDevice);
            break;
        }
        case MIXER_OBJECTF_MIDIOUT:
        case MIXER_OBJECTF_HMIDIOUT:
        case MIXER_OBJECTF_MIDIIN:
        case MIXER_OBJECTF_HMIDIIN:
        case MIXER_OBJECTF_AUX:
            return MMSYSERR_NODRIVER;
        default:
            return MMSYSERR_INVALFLAG;
    }
    if (found == MixerBackend::kNoMixer) return MMSYSERR_NODRIVER;
    *id = found;
    return MMSYSERR_NOERROR;
}

MMRESULT mixerGetDevCapsA(UINT_PTR id, MIXERCAPSA* caps, UINT size) {
    if (caps == nullptr || size == 0) return MMSYSERR_INVALPARAM;
    LockedMixer locked;
    if (MMRESULT error = LockMixer(id, MIXER_OBJECTF_MIXER, &locked)) return error;
    const MixerTree& tree = locked.Tree();
    if (tree.capsQuery != MMSYSERR_NOERROR) return tree.capsQuery;
    MIXERCAPSA full{};
    full.vDriverVersion = 0x0100;
    CopyName(full.szPname, sizeof full.szPname, tree.name);
    full.cDestinations = static_cast<DWORD>(tree.destinations.size());
    std::memcpy(caps, &full, std::min<std::size_t>(size, sizeof full));
    return MMSYSERR_NOERROR;
}

MMRESULT mixerGetLineInfoA(HMIXEROBJ object, MIXERLINEA* line, DWORD flags) {
    if (line == nullptr || line->cbStruct != sizeof(MIXERLINEA)) return MMSYSERR_INVALPARAM;
    if (flags & ~(MIXER_OBJECTF_TYPEMASK | MIXER_GETLINEINFOF_QUERYMASK)) return MMSYSERR_INVALFLAG;
    const DWORD query = flags & MIXER_GETLINEINFOF_QUERYMASK;
    if (query > MIXER_GETLINEINFOF_TARGETTYPE) return MMSYSERR_INVALFLAG;
    LockedMixer locked;
    if (MMRESULT error = LockMixer(reinterpret_cast<std::uintptr_t>(object), flags & MIXER_OBJECTF_TYPEMASK, &locked)) {
        return error;
    }
    const MixerTree& tree = locked.Tree();
    switch (query) {
        case MIXER_GETLINEINFOF_DESTINATION:
            return FillLine(tree, line->dwDestination, kNoSource, line);
        case MIXER_GETLINEINFOF_SOURCE:
            if (line->dwDestination >= tree.destinations.size()) return MIXERR_INVALLINE;
            return FillLine(tree, line->dwDestination, line->dwSource, line);
        case MIXER_GETLINEINFOF_LINEID: {
            DWORD destination = 0, source = 0;
            if (!DecodeLineId(tree, line->dwLineID, &destination, &source)) return MIXERR_INVALLINE;
            return FillLine(tree, destination, source, line);
        }
        default: {  // by component type or target type: the first such line
            const bool byType = query == MIXER_GETLINEINFOF_COMPONENTTYPE;
            const DWORD wanted = byType ? line->dwComponentType : line->Target.dwType;
            for (DWORD d = 0; d < tree.destinations.size(); ++d) {
                const DestinationInfo& destination = tree.destinations[d];
                if ((byType ? destination.line.componentType : destination.line.targetType) == wanted) {
                    return FillLine(tree, d, kNoSource, line);
                }
                for (DWORD s = 0; s < destination.sources.size(); ++s) {
                    const LineInfo& source = destination.sources[s];
                    if ((byType ? source.componentType : source.targetType) == wanted)
                        return FillLine(tree, d, s, line);
                }
            }
            return MIXERR_INVALLINE;
        }
    }
}

MMRESULT mixerGetLineControlsA(HMIXEROBJ object, MIXERLINECONTROLSA* controls, DWORD flags) {
    if (controls == nullptr || controls->cbStruct != sizeof(MIXERLINECONTROLSA) ||
        controls->cbmxctrl != sizeof(MIXERCONTROLA) || controls->pamxctrl == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    if (flags & ~(MIXER_OBJECTF_TYPEMASK | MIXER_GETLINECONTROLSF_QUERYMASK)) return MMSYSERR_INVALFLAG;
    const DWORD query = flags & MIXER_GETLINECONTROLSF_QUERYMASK;
    if (query > MIXER_GETLINECONTROLSF_ONEBYTYPE) return MMSYSERR_INVALFLAG;
    LockedMixer locked;
    if (MMRESULT error = LockMixer(reinterpret_cast<std::uintptr_t>(object), flags & MIXER_OBJECTF_TYPEMASK, &locked)) {
        return error;
    }
    const MixerTree& tree = locked.Tree();
    if (query == MIXER_GETLINECONTROLSF_ONEBYID) {
        FoundControl found;
        if (!FindControl(tree, controls->dwControlID, &found)) return MIXERR_INVALCONTROL;
        if (found.line->controlQuery != MMSYSERR_NOERROR) return found.line->controlQuery;
        controls->dwLineID = found.lineId;
        FillControl(*found.control, controls->pamxctrl);
        return MMSYSERR_NOERROR;
    }
    DWORD destination = 0, source = 0;
    if (!DecodeLineId(tree, controls->dwLineID, &destination, &source)) return MIXERR_INVALLINE;
    const LineInfo& line = *LineOf(tree, destination, source);
    if (line.controlQuery != MMSYSERR_NOERROR) return line.controlQuery;
    if (query == MIXER_GETLINECONTROLSF_ONEBYTYPE) {
        for (const ControlInfo& control : line.controls) {
            if (control.type == controls->dwControlType) {
                FillControl(control, controls->pamxctrl);
                return MMSYSERR_NOERROR;
            }
        }
        return MIXERR_INVALCONTROL;
    }
    if (controls->cControls == 0 || controls->cControls != line.controls.size()) return MMSYSERR_INVALPARAM;
    for (std::size_t i = 0; i < line.controls.size(); ++i) FillControl(line.controls[i], &controls->pamxctrl[i]);
    return MMSYSERR_NOERROR;
}

MMRESULT mixerGetControlDetailsA(HMIXEROBJ object, MIXERCONTROLDETAILS* details, DWORD flags) {
    LockedTransfer begun;
    if (MMRESULT error = BeginTransfer(object, details, flags, MIXER_GETCONTROLDETAILSF_QUERYMASK,
                                       MIXER_GETCONTROLDETAILSF_VALUE, MIXER_GETCONTROLDETAILSF_LISTTEXT, &begun)) {
        return error;
    }
    const Transfer& transfer = begun.transfer;
    std::vector<DWORD> values;
    if (MMRESULT error = begun.locked.Device().Read(details->dwControlID, &values)) return error;
    if (values.size() != static_cast<std::size_t>(transfer.deviceChannels) * transfer.items) return MMSYSERR_ERROR;
    for (DWORD c = 0; c < transfer.channels; ++c) {
        for (DWORD i = 0; i < transfer.items; ++i) {
            DWORD value = 0;
            if (transfer.channels == transfer.deviceChannels) {
                value = values[c * transfer.items + i];
            } else if (transfer.deviceChannels == 1) {
                value = values[i];  // a uniform control: the same on every channel
            } else {
                for (DWORD k = 0; k < transfer.deviceChannels; ++k) {
                    value = std::max(value, values[k * transfer.items + i]);
                }
            }
            std::memcpy(Slot(details, c * transfer.items + i), &value, sizeof value);
        }
    }
    return MMSYSERR_NOERROR;
}

MMRESULT mixerSetControlDetails(HMIXEROBJ object, MIXERCONTROLDETAILS* details, DWORD flags) {
    LockedTransfer begun;
    if (MMRESULT error = BeginTransfer(object, details, flags, MIXER_SETCONTROLDETAILSF_QUERYMASK,
                                       MIXER_SETCONTROLDETAILSF_VALUE, MIXER_SETCONTROLDETAILSF_CUSTOM, &begun)) {
        return error;
    }
    const Transfer& transfer = begun.transfer;
    const ControlInfo& control = *transfer.found.control;
    if ((control.type & MIXERCONTROL_CT_CLASS_MASK) == MIXERCONTROL_CT_CLASS_METER) return MMSYSERR_NOTSUPPORTED;
    std::vector<DWORD> given(static_cast<std::size_t>(transfer.channels) * transfer.items);
    for (std::size_t k = 0; k < given.size(); ++k) {
        std::memcpy(&given[k], Slot(details, static_cast<DWORD>(k)), sizeof(DWORD));
        if (!InBounds(control, &given[k])) return MMSYSERR_INVALPARAM;
    }
    std::vector<DWORD> values(static_cast<std::size_t>(transfer.deviceChannels) * transfer.items);
    for (DWORD c = 0; c < transfer.deviceChannels; ++c) {
        for (DWORD i = 0; i < transfer.items; ++i) {
            // One given channel sets them all; a uniform control takes the first.
            const DWORD from = transfer.channels == transfer.deviceChannels ? c : 0;
            values[c * transfer.items + i] = given[from * transfer.items + i];
        }
    }
    return begun.locked.Device().Write(details->dwControlID, values);
}
