// alsa-lib, loaded on first use, as the sound server's backend loads
// libpulse (platform/backends/pulse/PulseLazy.cpp): a host that loads the
// module and never opens a device on ALSA does not map libasound. Each
// alsa-lib function the backend calls is defined here with alsa-lib's own
// declaration (the compiler holds each against <alsa/asoundlib.h>) and
// forwards to the real one, found with dlsym in libasound.so.2, opened once
// on the first call. Without libasound a call answering a signed number
// answers -ENOSYS (every ALSA call fails), a pointer null, a size 0.
//
// A function newly used by the backend needs its line below: the module
// links with --no-undefined, so a missing one fails the link.
#include <alsa/asoundlib.h>

#include <atomic>
#include <cerrno>
#include <type_traits>

#include "platform/emulation/lazy/LazyLibrary.h"

namespace {

constinit sorn::lazy::LazyLibrary libasound{"libasound.so.2"};

template <typename R>
R Unavailable() {
    if constexpr (std::is_same_v<R, const char*>) {
        return "libasound.so.2 could not be loaded";
    } else if constexpr (std::is_integral_v<R> && std::is_signed_v<R>) {
        return static_cast<R>(-ENOSYS);
    } else {
        return R();
    }
}

}  // namespace

#define SORN_ALSA_FORWARD(name, ...) SORN_LAZY_FORWARD(libasound, Unavailable, name, __VA_ARGS__)

extern "C" {

const char* snd_strerror(int errnum) { SORN_ALSA_FORWARD(snd_strerror, errnum); }
int snd_lib_error_set_handler(snd_lib_error_handler_t handler) {
    SORN_ALSA_FORWARD(snd_lib_error_set_handler, handler);
}
int snd_card_next(int* card) { SORN_ALSA_FORWARD(snd_card_next, card); }
int snd_ctl_open(snd_ctl_t** ctl, const char* name, int mode) { SORN_ALSA_FORWARD(snd_ctl_open, ctl, name, mode); }
int snd_ctl_close(snd_ctl_t* ctl) { SORN_ALSA_FORWARD(snd_ctl_close, ctl); }
size_t snd_ctl_card_info_sizeof(void) { SORN_ALSA_FORWARD(snd_ctl_card_info_sizeof); }
int snd_ctl_card_info(snd_ctl_t* ctl, snd_ctl_card_info_t* info) { SORN_ALSA_FORWARD(snd_ctl_card_info, ctl, info); }
const char* snd_ctl_card_info_get_name(const snd_ctl_card_info_t* obj) {
    SORN_ALSA_FORWARD(snd_ctl_card_info_get_name, obj);
}
int snd_ctl_pcm_next_device(snd_ctl_t* ctl, int* device) { SORN_ALSA_FORWARD(snd_ctl_pcm_next_device, ctl, device); }
int snd_ctl_pcm_info(snd_ctl_t* ctl, snd_pcm_info_t* info) { SORN_ALSA_FORWARD(snd_ctl_pcm_info, ctl, info); }
size_t snd_pcm_info_sizeof(void) { SORN_ALSA_FORWARD(snd_pcm_info_sizeof); }
void snd_pcm_info_set_device(snd_pcm_info_t* obj, unsigned int val) {
    SORN_ALSA_FORWARD(snd_pcm_info_set_device, obj, val);
}
void snd_pcm_info_set_subdevice(snd_pcm_info_t* obj, unsigned int val) {
    SORN_ALSA_FORWARD(snd_pcm_info_set_subdevice, obj, val);
}
void snd_pcm_info_set_stream(snd_pcm_info_t* obj, snd_pcm_stream_t val) {
    SORN_ALSA_FORWARD(snd_pcm_info_set_stream, obj, val);
}
const char* snd_pcm_info_get_name(const snd_pcm_info_t* obj) { SORN_ALSA_FORWARD(snd_pcm_info_get_name, obj); }
int snd_pcm_open(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode) {
    SORN_ALSA_FORWARD(snd_pcm_open, pcm, name, stream, mode);
}
int snd_pcm_close(snd_pcm_t* pcm) { SORN_ALSA_FORWARD(snd_pcm_close, pcm); }
int snd_pcm_nonblock(snd_pcm_t* pcm, int nonblock) { SORN_ALSA_FORWARD(snd_pcm_nonblock, pcm, nonblock); }
size_t snd_pcm_hw_params_sizeof(void) { SORN_ALSA_FORWARD(snd_pcm_hw_params_sizeof); }
int snd_pcm_hw_params_any(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) {
    SORN_ALSA_FORWARD(snd_pcm_hw_params_any, pcm, params);
}
int snd_pcm_hw_params_set_access(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, snd_pcm_access_t access) {
    SORN_ALSA_FORWARD(snd_pcm_hw_params_set_access, pcm, params, access);
}
int snd_pcm_hw_params_set_format(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, snd_pcm_format_t val) {
    SORN_ALSA_FORWARD(snd_pcm_hw_params_set_format, pcm, params, val);
}
int snd_pcm_hw_params_set_channels(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int val) {
    SORN_ALSA_FORWARD(snd_pcm_hw_params_set_channels, pcm, params, val);
}
int snd_pcm_hw_params_set_rate(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int val, int dir) {
    SORN_ALSA_FORWARD(snd_pcm_hw_params_set_rate, pcm, params, val, dir);
}
int snd_pcm_hw_params_set_rate_resample(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int val) {
    SORN_ALSA_FORWARD(snd_pcm_hw_params_set_rate_resample, pcm, params, val);
}
int snd_pcm_hw_params_set_buffer_time_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int* val, int* dir) {
    SORN_ALSA_FORWARD(snd_pcm_hw_params_set_buffer_time_near, pcm, params, val, dir);
}
int snd_pcm_hw_params_set_period_time_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int* val, int* dir) {
    SORN_ALSA_FORWARD(snd_pcm_hw_params_set_period_time_near, pcm, params, val, dir);
}
int snd_pcm_hw_params(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) {
    SORN_ALSA_FORWARD(snd_pcm_hw_params, pcm, params);
}
int snd_pcm_hw_params_get_buffer_size(const snd_pcm_hw_params_t* params, snd_pcm_uframes_t* val) {
    SORN_ALSA_FORWARD(snd_pcm_hw_params_get_buffer_size, params, val);
}
int snd_pcm_hw_params_get_period_size(const snd_pcm_hw_params_t* params, snd_pcm_uframes_t* frames, int* dir) {
    SORN_ALSA_FORWARD(snd_pcm_hw_params_get_period_size, params, frames, dir);
}
int snd_pcm_hw_params_get_channels_max(const snd_pcm_hw_params_t* params, unsigned int* val) {
    SORN_ALSA_FORWARD(snd_pcm_hw_params_get_channels_max, params, val);
}
int snd_pcm_hw_params_test_access(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, snd_pcm_access_t access) {
    SORN_ALSA_FORWARD(snd_pcm_hw_params_test_access, pcm, params, access);
}
int snd_pcm_hw_params_test_format(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, snd_pcm_format_t val) {
    SORN_ALSA_FORWARD(snd_pcm_hw_params_test_format, pcm, params, val);
}
int snd_pcm_hw_params_test_channels(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int val) {
    SORN_ALSA_FORWARD(snd_pcm_hw_params_test_channels, pcm, params, val);
}
int snd_pcm_hw_params_test_rate(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int val, int dir) {
    SORN_ALSA_FORWARD(snd_pcm_hw_params_test_rate, pcm, params, val, dir);
}
size_t snd_pcm_sw_params_sizeof(void) { SORN_ALSA_FORWARD(snd_pcm_sw_params_sizeof); }
int snd_pcm_sw_params_current(snd_pcm_t* pcm, snd_pcm_sw_params_t* params) {
    SORN_ALSA_FORWARD(snd_pcm_sw_params_current, pcm, params);
}
int snd_pcm_sw_params_set_start_threshold(snd_pcm_t* pcm, snd_pcm_sw_params_t* params, snd_pcm_uframes_t val) {
    SORN_ALSA_FORWARD(snd_pcm_sw_params_set_start_threshold, pcm, params, val);
}
int snd_pcm_sw_params_set_avail_min(snd_pcm_t* pcm, snd_pcm_sw_params_t* params, snd_pcm_uframes_t val) {
    SORN_ALSA_FORWARD(snd_pcm_sw_params_set_avail_min, pcm, params, val);
}
int snd_pcm_sw_params(snd_pcm_t* pcm, snd_pcm_sw_params_t* params) {
    SORN_ALSA_FORWARD(snd_pcm_sw_params, pcm, params);
}
int snd_pcm_poll_descriptors_count(snd_pcm_t* pcm) { SORN_ALSA_FORWARD(snd_pcm_poll_descriptors_count, pcm); }
int snd_pcm_poll_descriptors(snd_pcm_t* pcm, struct pollfd* pfds, unsigned int space) {
    SORN_ALSA_FORWARD(snd_pcm_poll_descriptors, pcm, pfds, space);
}
int snd_pcm_poll_descriptors_revents(snd_pcm_t* pcm, struct pollfd* pfds, unsigned int nfds, unsigned short* revents) {
    SORN_ALSA_FORWARD(snd_pcm_poll_descriptors_revents, pcm, pfds, nfds, revents);
}
snd_pcm_sframes_t snd_pcm_avail_update(snd_pcm_t* pcm) { SORN_ALSA_FORWARD(snd_pcm_avail_update, pcm); }
int snd_pcm_delay(snd_pcm_t* pcm, snd_pcm_sframes_t* delayp) { SORN_ALSA_FORWARD(snd_pcm_delay, pcm, delayp); }
snd_pcm_sframes_t snd_pcm_writei(snd_pcm_t* pcm, const void* buffer, snd_pcm_uframes_t size) {
    SORN_ALSA_FORWARD(snd_pcm_writei, pcm, buffer, size);
}
snd_pcm_sframes_t snd_pcm_readi(snd_pcm_t* pcm, void* buffer, snd_pcm_uframes_t size) {
    SORN_ALSA_FORWARD(snd_pcm_readi, pcm, buffer, size);
}
int snd_pcm_prepare(snd_pcm_t* pcm) { SORN_ALSA_FORWARD(snd_pcm_prepare, pcm); }
int snd_pcm_start(snd_pcm_t* pcm) { SORN_ALSA_FORWARD(snd_pcm_start, pcm); }
int snd_pcm_drop(snd_pcm_t* pcm) { SORN_ALSA_FORWARD(snd_pcm_drop, pcm); }
int snd_pcm_recover(snd_pcm_t* pcm, int err, int silent) { SORN_ALSA_FORWARD(snd_pcm_recover, pcm, err, silent); }
snd_pcm_state_t snd_pcm_state(snd_pcm_t* pcm) { SORN_ALSA_FORWARD(snd_pcm_state, pcm); }
int snd_mixer_open(snd_mixer_t** mixer, int mode) { SORN_ALSA_FORWARD(snd_mixer_open, mixer, mode); }
int snd_mixer_close(snd_mixer_t* mixer) { SORN_ALSA_FORWARD(snd_mixer_close, mixer); }
int snd_mixer_attach(snd_mixer_t* mixer, const char* name) { SORN_ALSA_FORWARD(snd_mixer_attach, mixer, name); }
int snd_mixer_selem_register(snd_mixer_t* mixer, struct snd_mixer_selem_regopt* options, snd_mixer_class_t** classp) {
    SORN_ALSA_FORWARD(snd_mixer_selem_register, mixer, options, classp);
}
int snd_mixer_load(snd_mixer_t* mixer) { SORN_ALSA_FORWARD(snd_mixer_load, mixer); }
int snd_mixer_handle_events(snd_mixer_t* mixer) { SORN_ALSA_FORWARD(snd_mixer_handle_events, mixer); }
snd_mixer_elem_t* snd_mixer_first_elem(snd_mixer_t* mixer) { SORN_ALSA_FORWARD(snd_mixer_first_elem, mixer); }
snd_mixer_elem_t* snd_mixer_elem_next(snd_mixer_elem_t* elem) { SORN_ALSA_FORWARD(snd_mixer_elem_next, elem); }
const char* snd_mixer_selem_get_name(snd_mixer_elem_t* elem) { SORN_ALSA_FORWARD(snd_mixer_selem_get_name, elem); }
int snd_mixer_selem_is_active(snd_mixer_elem_t* elem) { SORN_ALSA_FORWARD(snd_mixer_selem_is_active, elem); }
int snd_mixer_selem_has_playback_volume(snd_mixer_elem_t* elem) {
    SORN_ALSA_FORWARD(snd_mixer_selem_has_playback_volume, elem);
}
int snd_mixer_selem_has_playback_switch(snd_mixer_elem_t* elem) {
    SORN_ALSA_FORWARD(snd_mixer_selem_has_playback_switch, elem);
}
int snd_mixer_selem_has_capture_volume(snd_mixer_elem_t* elem) {
    SORN_ALSA_FORWARD(snd_mixer_selem_has_capture_volume, elem);
}
int snd_mixer_selem_has_capture_switch(snd_mixer_elem_t* elem) {
    SORN_ALSA_FORWARD(snd_mixer_selem_has_capture_switch, elem);
}
int snd_mixer_selem_is_playback_mono(snd_mixer_elem_t* elem) {
    SORN_ALSA_FORWARD(snd_mixer_selem_is_playback_mono, elem);
}
int snd_mixer_selem_is_capture_mono(snd_mixer_elem_t* elem) {
    SORN_ALSA_FORWARD(snd_mixer_selem_is_capture_mono, elem);
}
int snd_mixer_selem_has_playback_channel(snd_mixer_elem_t* obj, snd_mixer_selem_channel_id_t channel) {
    SORN_ALSA_FORWARD(snd_mixer_selem_has_playback_channel, obj, channel);
}
int snd_mixer_selem_has_capture_channel(snd_mixer_elem_t* obj, snd_mixer_selem_channel_id_t channel) {
    SORN_ALSA_FORWARD(snd_mixer_selem_has_capture_channel, obj, channel);
}
int snd_mixer_selem_get_playback_volume_range(snd_mixer_elem_t* elem, long* min, long* max) {
    SORN_ALSA_FORWARD(snd_mixer_selem_get_playback_volume_range, elem, min, max);
}
int snd_mixer_selem_get_capture_volume_range(snd_mixer_elem_t* elem, long* min, long* max) {
    SORN_ALSA_FORWARD(snd_mixer_selem_get_capture_volume_range, elem, min, max);
}
int snd_mixer_selem_get_playback_volume(snd_mixer_elem_t* elem, snd_mixer_selem_channel_id_t channel, long* value) {
    SORN_ALSA_FORWARD(snd_mixer_selem_get_playback_volume, elem, channel, value);
}
int snd_mixer_selem_get_capture_volume(snd_mixer_elem_t* elem, snd_mixer_selem_channel_id_t channel, long* value) {
    SORN_ALSA_FORWARD(snd_mixer_selem_get_capture_volume, elem, channel, value);
}
int snd_mixer_selem_set_playback_volume(snd_mixer_elem_t* elem, snd_mixer_selem_channel_id_t channel, long value) {
    SORN_ALSA_FORWARD(snd_mixer_selem_set_playback_volume, elem, channel, value);
}
int snd_mixer_selem_set_capture_volume(snd_mixer_elem_t* elem, snd_mixer_selem_channel_id_t channel, long value) {
    SORN_ALSA_FORWARD(snd_mixer_selem_set_capture_volume, elem, channel, value);
}
int snd_mixer_selem_get_playback_switch(snd_mixer_elem_t* elem, snd_mixer_selem_channel_id_t channel, int* value) {
    SORN_ALSA_FORWARD(snd_mixer_selem_get_playback_switch, elem, channel, value);
}
int snd_mixer_selem_get_capture_switch(snd_mixer_elem_t* elem, snd_mixer_selem_channel_id_t channel, int* value) {
    SORN_ALSA_FORWARD(snd_mixer_selem_get_capture_switch, elem, channel, value);
}
int snd_mixer_selem_set_playback_switch_all(snd_mixer_elem_t* elem, int value) {
    SORN_ALSA_FORWARD(snd_mixer_selem_set_playback_switch_all, elem, value);
}
int snd_mixer_selem_set_capture_switch_all(snd_mixer_elem_t* elem, int value) {
    SORN_ALSA_FORWARD(snd_mixer_selem_set_capture_switch_all, elem, value);
}

}  // extern "C"
