// Volume and mute of sinks and sources on a Connection
// (platform/backends/pulse/PulseConnection.h), for the sound server's mixer.
#include "platform/backends/pulse/PulseConnection.h"

namespace sorn::audio::pulse {

namespace {

struct VolumeAnswer {
    Connection* connection;
    Connection::Volume* volume;
    bool finished = false;
    bool known = false;
};

template <typename Info>
void TakeVolume(const Info* info, int eol, VolumeAnswer* answer) {
    if (eol == 0 && info != nullptr) {
        answer->volume->volume = info->volume;
        answer->volume->map = info->channel_map;
        answer->volume->mute = info->mute != 0;
        answer->volume->description = info->description ? info->description : (info->name ? info->name : "");
        answer->known = true;
        return;  // the end of the list follows
    }
    answer->finished = true;
    answer->connection->Signal();
}

void OnSinkVolume(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    TakeVolume(info, eol, static_cast<VolumeAnswer*>(userdata));
}

void OnSourceVolume(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    TakeVolume(info, eol, static_cast<VolumeAnswer*>(userdata));
}

struct SuccessAnswer {
    Connection* connection;
    bool finished = false;
    bool success = false;
};

void OnSuccess(pa_context*, int success, void* userdata) {
    auto* answer = static_cast<SuccessAnswer*>(userdata);
    answer->success = success != 0;
    answer->finished = true;
    answer->connection->Signal();
}

}  // namespace

bool Connection::GetVolume(Direction direction, const std::string& name, Volume* volume, unsigned timeoutMs) {
    if (!Ready()) return false;
    VolumeAnswer answer{this, volume};
    pa_operation* operation = direction == Direction::Output
                                  ? pa_context_get_sink_info_by_name(context_, name.c_str(), OnSinkVolume, &answer)
                                  : pa_context_get_source_info_by_name(context_, name.c_str(), OnSourceVolume, &answer);
    return Complete(operation, answer.finished, timeoutMs) && answer.known;
}

bool Connection::SetVolume(Direction direction, const std::string& name, const pa_cvolume& volume, unsigned timeoutMs) {
    if (!Ready() || !pa_cvolume_valid(&volume)) return false;
    SuccessAnswer answer{this};
    pa_operation* operation =
        direction == Direction::Output
            ? pa_context_set_sink_volume_by_name(context_, name.c_str(), &volume, OnSuccess, &answer)
            : pa_context_set_source_volume_by_name(context_, name.c_str(), &volume, OnSuccess, &answer);
    return Complete(operation, answer.finished, timeoutMs) && answer.success;
}

bool Connection::SetMute(Direction direction, const std::string& name, bool mute, unsigned timeoutMs) {
    if (!Ready()) return false;
    SuccessAnswer answer{this};
    pa_operation* operation =
        direction == Direction::Output
            ? pa_context_set_sink_mute_by_name(context_, name.c_str(), mute ? 1 : 0, OnSuccess, &answer)
            : pa_context_set_source_mute_by_name(context_, name.c_str(), mute ? 1 : 0, OnSuccess, &answer);
    return Complete(operation, answer.finished, timeoutMs) && answer.success;
}

}  // namespace sorn::audio::pulse
