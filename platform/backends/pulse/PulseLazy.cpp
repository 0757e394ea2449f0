// libpulse, loaded on first use. The module does not link libpulse: mapping
// it and the libraries it needs (sndfile and its codecs, systemd, dbus...)
// costs about 10 ms of CPU, which every host would pay when it loads the
// module even when it never talks to a sound server. Each libpulse function
// the backend calls is defined here with libpulse's own declaration (the
// compiler holds each against <pulse/pulseaudio.h>) and forwards to the real
// one, found with dlsym in libpulse.so.0, opened once on the first call.
// Without libpulse every call answers 0 / null (pa_strerror a text), so the
// backend fails the way it does when libpulse runs out of memory.
//
// A libpulse function newly used by the backend needs its line below: the
// module links with --no-undefined, so a missing one fails the link.
#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <atomic>

#include "platform/emulation/lazy/LazyLibrary.h"

namespace {

constinit sorn::lazy::LazyLibrary libpulse{"libpulse.so.0"};

template <typename R>
R Unavailable() {
    return R();
}
template <>
const char* Unavailable<const char*>() {
    return "libpulse.so.0 could not be loaded";
}

}  // namespace

#define SORN_PULSE_FORWARD(name, ...) SORN_LAZY_FORWARD(libpulse, Unavailable, name, __VA_ARGS__)

extern "C" {

pa_usec_t pa_bytes_to_usec(uint64_t length, const pa_sample_spec* ss) {
    SORN_PULSE_FORWARD(pa_bytes_to_usec, length, ss);
}
pa_channel_map* pa_channel_map_init_extend(pa_channel_map* m, unsigned channels, pa_channel_map_def_t def) {
    SORN_PULSE_FORWARD(pa_channel_map_init_extend, m, channels, def);
}
int pa_context_connect(pa_context* c, const char* server, pa_context_flags_t flags, const pa_spawn_api* api) {
    SORN_PULSE_FORWARD(pa_context_connect, c, server, flags, api);
}
void pa_context_disconnect(pa_context* c) { SORN_PULSE_FORWARD(pa_context_disconnect, c); }
int pa_context_errno(const pa_context* c) { SORN_PULSE_FORWARD(pa_context_errno, c); }
pa_operation* pa_context_get_server_info(pa_context* c, pa_server_info_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_context_get_server_info, c, cb, userdata);
}
pa_operation* pa_context_get_sink_info_list(pa_context* c, pa_sink_info_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_context_get_sink_info_list, c, cb, userdata);
}
pa_operation* pa_context_get_source_info_list(pa_context* c, pa_source_info_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_context_get_source_info_list, c, cb, userdata);
}
pa_operation* pa_context_get_sink_info_by_name(pa_context* c, const char* name, pa_sink_info_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_context_get_sink_info_by_name, c, name, cb, userdata);
}
pa_operation* pa_context_get_source_info_by_name(pa_context* c, const char* name, pa_source_info_cb_t cb,
                                                 void* userdata) {
    SORN_PULSE_FORWARD(pa_context_get_source_info_by_name, c, name, cb, userdata);
}
pa_operation* pa_context_set_sink_mute_by_name(pa_context* c, const char* name, int mute, pa_context_success_cb_t cb,
                                               void* userdata) {
    SORN_PULSE_FORWARD(pa_context_set_sink_mute_by_name, c, name, mute, cb, userdata);
}
pa_operation* pa_context_set_sink_volume_by_name(pa_context* c, const char* name, const pa_cvolume* volume,
                                                 pa_context_success_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_context_set_sink_volume_by_name, c, name, volume, cb, userdata);
}
pa_operation* pa_context_set_source_mute_by_name(pa_context* c, const char* name, int mute, pa_context_success_cb_t cb,
                                                 void* userdata) {
    SORN_PULSE_FORWARD(pa_context_set_source_mute_by_name, c, name, mute, cb, userdata);
}
pa_operation* pa_context_set_source_volume_by_name(pa_context* c, const char* name, const pa_cvolume* volume,
                                                   pa_context_success_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_context_set_source_volume_by_name, c, name, volume, cb, userdata);
}
pa_operation* pa_context_get_sink_info_by_index(pa_context* c, uint32_t idx, pa_sink_info_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_context_get_sink_info_by_index, c, idx, cb, userdata);
}
pa_operation* pa_context_get_source_info_by_index(pa_context* c, uint32_t idx, pa_source_info_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_context_get_source_info_by_index, c, idx, cb, userdata);
}
pa_operation* pa_context_suspend_sink_by_index(pa_context* c, uint32_t idx, int suspend, pa_context_success_cb_t cb,
                                               void* userdata) {
    SORN_PULSE_FORWARD(pa_context_suspend_sink_by_index, c, idx, suspend, cb, userdata);
}
pa_context_state_t pa_context_get_state(const pa_context* c) { SORN_PULSE_FORWARD(pa_context_get_state, c); }
pa_context* pa_context_new(pa_mainloop_api* mainloop, const char* name) {
    SORN_PULSE_FORWARD(pa_context_new, mainloop, name);
}
pa_time_event* pa_context_rttime_new(const pa_context* c, pa_usec_t usec, pa_time_event_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_context_rttime_new, c, usec, cb, userdata);
}
void pa_context_rttime_restart(const pa_context* c, pa_time_event* e, pa_usec_t usec) {
    SORN_PULSE_FORWARD(pa_context_rttime_restart, c, e, usec);
}
void pa_context_set_state_callback(pa_context* c, pa_context_notify_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_context_set_state_callback, c, cb, userdata);
}
void pa_context_unref(pa_context* c) { SORN_PULSE_FORWARD(pa_context_unref, c); }
pa_cvolume* pa_cvolume_init(pa_cvolume* a) { SORN_PULSE_FORWARD(pa_cvolume_init, a); }
int pa_cvolume_valid(const pa_cvolume* v) { SORN_PULSE_FORWARD(pa_cvolume_valid, v); }
struct timeval* pa_gettimeofday(struct timeval* tv) {
    SORN_PULSE_FORWARD(pa_gettimeofday, tv);
}
void pa_operation_cancel(pa_operation* o) { SORN_PULSE_FORWARD(pa_operation_cancel, o); }
void pa_operation_unref(pa_operation* o) { SORN_PULSE_FORWARD(pa_operation_unref, o); }
pa_operation_state_t pa_operation_get_state(const pa_operation* o) { SORN_PULSE_FORWARD(pa_operation_get_state, o); }
pa_usec_t pa_rtclock_now(void) { SORN_PULSE_FORWARD(pa_rtclock_now); }
int pa_sample_spec_valid(const pa_sample_spec* ss) { SORN_PULSE_FORWARD(pa_sample_spec_valid, ss); }
int pa_stream_begin_write(pa_stream* p, void** data, size_t* nbytes) {
    SORN_PULSE_FORWARD(pa_stream_begin_write, p, data, nbytes);
}
int pa_stream_cancel_write(pa_stream* p) { SORN_PULSE_FORWARD(pa_stream_cancel_write, p); }
int pa_stream_connect_playback(pa_stream* s, const char* dev, const pa_buffer_attr* attr, pa_stream_flags_t flags,
                               const pa_cvolume* volume, pa_stream* sync_stream) {
    SORN_PULSE_FORWARD(pa_stream_connect_playback, s, dev, attr, flags, volume, sync_stream);
}
int pa_stream_connect_record(pa_stream* s, const char* dev, const pa_buffer_attr* attr, pa_stream_flags_t flags) {
    SORN_PULSE_FORWARD(pa_stream_connect_record, s, dev, attr, flags);
}
pa_operation* pa_stream_cork(pa_stream* s, int b, pa_stream_success_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_stream_cork, s, b, cb, userdata);
}
int pa_stream_disconnect(pa_stream* s) { SORN_PULSE_FORWARD(pa_stream_disconnect, s); }
pa_operation* pa_stream_drain(pa_stream* s, pa_stream_success_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_stream_drain, s, cb, userdata);
}
int pa_stream_drop(pa_stream* p) { SORN_PULSE_FORWARD(pa_stream_drop, p); }
pa_operation* pa_stream_flush(pa_stream* s, pa_stream_success_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_stream_flush, s, cb, userdata);
}
uint32_t pa_stream_get_device_index(const pa_stream* s) { SORN_PULSE_FORWARD(pa_stream_get_device_index, s); }
pa_stream_state_t pa_stream_get_state(const pa_stream* p) { SORN_PULSE_FORWARD(pa_stream_get_state, p); }
int pa_stream_get_time(pa_stream* s, pa_usec_t* r_usec) { SORN_PULSE_FORWARD(pa_stream_get_time, s, r_usec); }
const pa_timing_info* pa_stream_get_timing_info(pa_stream* s) { SORN_PULSE_FORWARD(pa_stream_get_timing_info, s); }
pa_stream* pa_stream_new(pa_context* c, const char* name, const pa_sample_spec* ss, const pa_channel_map* map) {
    SORN_PULSE_FORWARD(pa_stream_new, c, name, ss, map);
}
int pa_stream_peek(pa_stream* p, const void** data, size_t* nbytes) {
    SORN_PULSE_FORWARD(pa_stream_peek, p, data, nbytes);
}
size_t pa_stream_readable_size(const pa_stream* p) { SORN_PULSE_FORWARD(pa_stream_readable_size, p); }
void pa_stream_set_latency_update_callback(pa_stream* p, pa_stream_notify_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_stream_set_latency_update_callback, p, cb, userdata);
}
void pa_stream_set_read_callback(pa_stream* p, pa_stream_request_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_stream_set_read_callback, p, cb, userdata);
}
void pa_stream_set_state_callback(pa_stream* s, pa_stream_notify_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_stream_set_state_callback, s, cb, userdata);
}
void pa_stream_set_underflow_callback(pa_stream* p, pa_stream_notify_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_stream_set_underflow_callback, p, cb, userdata);
}
void pa_stream_set_write_callback(pa_stream* p, pa_stream_request_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_stream_set_write_callback, p, cb, userdata);
}
void pa_stream_unref(pa_stream* s) { SORN_PULSE_FORWARD(pa_stream_unref, s); }
pa_operation* pa_stream_update_timing_info(pa_stream* p, pa_stream_success_cb_t cb, void* userdata) {
    SORN_PULSE_FORWARD(pa_stream_update_timing_info, p, cb, userdata);
}
size_t pa_stream_writable_size(const pa_stream* p) { SORN_PULSE_FORWARD(pa_stream_writable_size, p); }
int pa_stream_write(pa_stream* p, const void* data, size_t nbytes, pa_free_cb_t free_cb, int64_t offset,
                    pa_seek_mode_t seek) {
    SORN_PULSE_FORWARD(pa_stream_write, p, data, nbytes, free_cb, offset, seek);
}
const char* pa_strerror(int error) { SORN_PULSE_FORWARD(pa_strerror, error); }
void pa_threaded_mainloop_free(pa_threaded_mainloop* m) { SORN_PULSE_FORWARD(pa_threaded_mainloop_free, m); }
pa_mainloop_api* pa_threaded_mainloop_get_api(pa_threaded_mainloop* m) {
    SORN_PULSE_FORWARD(pa_threaded_mainloop_get_api, m);
}
void pa_threaded_mainloop_lock(pa_threaded_mainloop* m) { SORN_PULSE_FORWARD(pa_threaded_mainloop_lock, m); }
pa_threaded_mainloop* pa_threaded_mainloop_new(void) { SORN_PULSE_FORWARD(pa_threaded_mainloop_new); }
void pa_threaded_mainloop_set_name(pa_threaded_mainloop* m, const char* name) {
    SORN_PULSE_FORWARD(pa_threaded_mainloop_set_name, m, name);
}
void pa_threaded_mainloop_signal(pa_threaded_mainloop* m, int wait_for_accept) {
    SORN_PULSE_FORWARD(pa_threaded_mainloop_signal, m, wait_for_accept);
}
int pa_threaded_mainloop_start(pa_threaded_mainloop* m) { SORN_PULSE_FORWARD(pa_threaded_mainloop_start, m); }
void pa_threaded_mainloop_stop(pa_threaded_mainloop* m) { SORN_PULSE_FORWARD(pa_threaded_mainloop_stop, m); }
void pa_threaded_mainloop_unlock(pa_threaded_mainloop* m) { SORN_PULSE_FORWARD(pa_threaded_mainloop_unlock, m); }
void pa_threaded_mainloop_wait(pa_threaded_mainloop* m) { SORN_PULSE_FORWARD(pa_threaded_mainloop_wait, m); }
int pa_timeval_cmp(const struct timeval* a, const struct timeval* b) { SORN_PULSE_FORWARD(pa_timeval_cmp, a, b); }
pa_usec_t pa_timeval_diff(const struct timeval* a, const struct timeval* b) {
    SORN_PULSE_FORWARD(pa_timeval_diff, a, b);
}
size_t pa_usec_to_bytes(pa_usec_t t, const pa_sample_spec* ss) { SORN_PULSE_FORWARD(pa_usec_to_bytes, t, ss); }

}  // extern "C"
