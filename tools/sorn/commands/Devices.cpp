#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/cli/TextBuffer.h"
#include "tools/sorn/Commands.h"
#include "tools/sorn/DeviceChoice.h"
#include "tools/sorn/Host.h"
#include "tools/sorn/MixerLines.h"

namespace cli = sorn::cli;

namespace sorn::tool {

namespace {

const char* ComponentName(DWORD type) {
    switch (type) {
        case MIXERLINE_COMPONENTTYPE_DST_SPEAKERS:
            return "speakers";
        case MIXERLINE_COMPONENTTYPE_DST_HEADPHONES:
            return "headphones";
        case MIXERLINE_COMPONENTTYPE_DST_WAVEIN:
            return "wave in";
        case MIXERLINE_COMPONENTTYPE_DST_VOICEIN:
            return "voice in";
        case MIXERLINE_COMPONENTTYPE_DST_LINE:
            return "line";
        case MIXERLINE_COMPONENTTYPE_DST_MONITOR:
            return "monitor";
        case MIXERLINE_COMPONENTTYPE_DST_DIGITAL:
            return "digital";
        case MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE:
            return "microphone";
        case MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT:
            return "wave out";
        case MIXERLINE_COMPONENTTYPE_SRC_LINE:
            return "line";
        case MIXERLINE_COMPONENTTYPE_SRC_ANALOG:
            return "analog";
        case MIXERLINE_COMPONENTTYPE_SRC_DIGITAL:
            return "digital";
        case MIXERLINE_COMPONENTTYPE_SRC_SYNTHESIZER:
            return "synthesizer";
        case MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC:
            return "compact disc";
        case MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY:
            return "auxiliary";
        default:
            return "other";
    }
}

// The values of one control as text ("[32767, 32767]"), or why not.
std::string ControlValues(const sorn::host::PlatformMixer& mixer, HMIXEROBJ id, const MIXERLINEA& line,
                          const MIXERCONTROLA& control) {
    const DWORD channels =
        (control.fdwControl & MIXERCONTROL_CONTROLF_UNIFORM) ? 1 : std::max<DWORD>(1, line.cChannels);
    const DWORD items =
        (control.fdwControl & MIXERCONTROL_CONTROLF_MULTIPLE) ? std::max<DWORD>(1, control.cMultipleItems) : 1;
    std::vector<LONG> values(static_cast<std::size_t>(channels) * items);
    MIXERCONTROLDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwControlID = control.dwControlID;
    details.cChannels = channels;
    details.cMultipleItems = (control.fdwControl & MIXERCONTROL_CONTROLF_MULTIPLE) ? control.cMultipleItems : 0;
    details.cbDetails = sizeof(LONG);
    details.paDetails = values.data();
    if (mixer.mixerGetControlDetailsA(id, &details, MIXER_OBJECTF_MIXER | MIXER_GETCONTROLDETAILSF_VALUE) !=
        MMSYSERR_NOERROR)
        return "null";
    const bool isSigned = (control.dwControlType & MIXERCONTROL_CT_UNITS_MASK) == MIXERCONTROL_CT_UNITS_SIGNED ||
                          (control.dwControlType & MIXERCONTROL_CT_UNITS_MASK) == MIXERCONTROL_CT_UNITS_DECIBELS;
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) text += ", ";
        text += isSigned ? std::to_string(values[i]) : std::to_string(static_cast<DWORD>(values[i]));
    }
    return text + "]";
}

void AppendLine(const sorn::host::PlatformMixer& mixer, HMIXEROBJ id, const MIXERLINEA& line, bool source,
                cli::TextBuffer& out, bool json) {
    const std::vector<MIXERCONTROLA> controls = LineControls(mixer, id, line);
    if (json) {
        out.Put("{\"name\":").JsonString(line.szName).Put(",\"type\":").JsonString(ComponentName(line.dwComponentType));
        out.Put(",\"channels\":").Int(line.cChannels).Put(",\"controls\":[");
        for (std::size_t c = 0; c < controls.size(); ++c) {
            out.Put(c ? "," : "").Put("{\"name\":").JsonString(controls[c].szName).Put(",\"minimum\":");
            out.Int(controls[c].Bounds.lMinimum).Put(",\"maximum\":").Int(controls[c].Bounds.dwMaximum);
            out.Put(",\"values\":").Put(ControlValues(mixer, id, line, controls[c])).Put('}');
        }
        out.Put(']');
        return;
    }
    out.Put(source ? "      source: " : "    destination: ")
        .Put(line.szName)
        .Put(" (")
        .Put(ComponentName(line.dwComponentType))
        .Put(", ")
        .Int(line.cChannels)
        .Put(line.cChannels == 1 ? " channel)\n" : " channels)\n");
    for (const MIXERCONTROLA& control : controls) {
        out.Put(source ? "        " : "      ")
            .Put("control: ")
            .Put(control.szName)
            .Put(" = ")
            .Put(ControlValues(mixer, id, line, control))
            .Put(" of ")
            .Int(control.Bounds.lMinimum)
            .Put("..")
            .Int(control.Bounds.dwMaximum)
            .Put('\n');
    }
}

}  // namespace

int Devices(bool json, const std::string& backend) {
    const std::string command = "devices";
    const BackendChoice choice = ChooseBackend(backend);
    int status = kOk;
    if (!CheckBackend(command, choice, status)) return status;
    if (!StartBackend(command, choice, status)) return status;
    const sorn::host::PlatformAudio audio = Module().Audio();
    const sorn::host::PlatformMixer mixer = Module().Mixer();
    if (!audio.waveOutGetNumDevs || !audio.waveOutGetDevCapsA || !audio.waveInGetNumDevs || !audio.waveInGetDevCapsA)
        return Fail(command, "the module does not list its wave devices");
    cli::TextBuffer out;
    const std::string name = audio.selectedBackendName();
    // output 0: sorn_null (1 channel) 16000 Hz, default
    const auto addDevice = [&](const WaveDevice& device, std::size_t n) {
        if (json) {
            out.Put(n ? "," : "").Put("{\"id\":").Int(device.id).Put(",\"name\":").JsonString(device.name.c_str());
            out.Put(",\"channels\":").Int(device.channels).Put(",\"rate\":").Int(device.rate);
            out.Put(",\"monitor\":").Put(device.monitor ? "true" : "false");
            out.Put(",\"default\":").Put(device.isDefault ? "true" : "false");
            out.Put(",\"key\":").JsonString(device.key.c_str()).Put('}');
            return;
        }
        out.Put(device.output ? "output " : "input ").Int(device.id).Put(": ").Put(device.name).Put(" (");
        out.Int(device.channels).Put(device.channels == 1 ? " channel)" : " channels)");
        if (device.rate) out.Put(' ').Int(device.rate).Put(" Hz");
        if (device.monitor) out.Put(", monitor");
        if (device.isDefault) out.Put(", default");
        if (!device.key.empty() && device.key != device.name) out.Put(", key ").Put(device.key);
        out.Put('\n');
    };
    if (json)
        out.Put("{\"backend\":").JsonString(name).Put(",\"outputs\":[");
    else
        out.Put("backend: ").Put(name).Put('\n');
    const std::vector<WaveDevice> outputs = ListDevices(true);
    for (std::size_t i = 0; i < outputs.size(); ++i) addDevice(outputs[i], i);
    if (json) out.Put("],\"inputs\":[");
    const std::vector<WaveDevice> inputs = ListDevices(false);
    for (std::size_t i = 0; i < inputs.size(); ++i) addDevice(inputs[i], i);
    if (!json && outputs.empty() && inputs.empty()) out.Put("no wave devices\n");
    if (json) out.Put("],\"mixers\":[");
    const UINT mixers = mixer.Complete() ? mixer.mixerGetNumDevs() : 0;
    for (UINT m = 0; m < mixers; ++m) {
        MIXERCAPSA caps{};
        if (mixer.mixerGetDevCapsA(m, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
        HMIXEROBJ id = reinterpret_cast<HMIXEROBJ>(static_cast<std::uintptr_t>(m));
        if (json)
            out.Put(m ? "," : "")
                .Put("{\"id\":")
                .Int(m)
                .Put(",\"name\":")
                .JsonString(caps.szPname)
                .Put(",\"destinations\":[");
        else
            out.Put("mixer ").Int(m).Put(": ").Put(caps.szPname).Put('\n');
        for (DWORD d = 0; d < caps.cDestinations; ++d) {
            MIXERLINEA line;
            if (!DestinationLine(mixer, id, d, line)) continue;
            if (json) out.Put(d ? "," : "");
            AppendLine(mixer, id, line, false, out, json);
            if (json) out.Put(",\"sources\":[");
            for (DWORD s = 0; s < line.cConnections; ++s) {
                MIXERLINEA source;
                if (!SourceLine(mixer, id, d, s, source)) continue;
                if (json) out.Put(s ? "," : "");
                AppendLine(mixer, id, source, true, out, json);
                if (json) out.Put('}');
            }
            if (json) out.Put("]}");
        }
        if (json) out.Put("]}");
    }
    if (!json && mixers == 0) out.Put("no mixer\n");
    if (json) out.Put("]}\n");
    std::string why;
    if (!cli::WriteAll(stdout, out.Str(), why)) return Fail(command, "cannot write: " + why);
    return kOk;
}

}  // namespace sorn::tool
