// The PulseAudio client library, loaded at run time.
//
// Linking libpulse pulls about twenty-five more shared libraries into the
// process (D-Bus, X11, libsndfile, systemd...), which costs every start of
// the helper a few milliseconds and megabytes even when the host ends it
// before any capture. The backend therefore opens libpulse.so.0 on first
// real use and calls it through the table below; the installed headers
// still provide the types and constants.
//
// Call sites read `libpulse().pa_stream_new(...)`. The table may only be
// used once `loadLibpulse()` has answered true; everything in this backend
// reaches libpulse through the main loop (`loop()` in pulse_loop.h), which
// loads the library first and does not exist when that failed, so a
// missing library looks to the rest of the backend exactly like a missing
// server.
#pragma once

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

namespace zt::platform::pulse {

// Every libpulse function this backend calls.
#define ZT_LIBPULSE_FUNCTIONS(X)           \
  X(pa_mainloop_new)                       \
  X(pa_mainloop_get_api)                   \
  X(pa_mainloop_set_poll_func)             \
  X(pa_mainloop_run)                       \
  X(pa_mainloop_wakeup)                    \
  X(pa_proplist_new)                       \
  X(pa_proplist_sets)                      \
  X(pa_proplist_free)                      \
  X(pa_context_new_with_proplist)          \
  X(pa_context_connect)                    \
  X(pa_context_disconnect)                 \
  X(pa_context_unref)                      \
  X(pa_context_errno)                      \
  X(pa_context_get_state)                  \
  X(pa_context_set_state_callback)         \
  X(pa_context_set_subscribe_callback)     \
  X(pa_context_subscribe)                  \
  X(pa_context_get_server_info)            \
  X(pa_context_get_sink_info_by_name)      \
  X(pa_context_get_sink_info_list)         \
  X(pa_context_get_source_info_by_name)    \
  X(pa_context_move_source_output_by_name) \
  X(pa_context_rttime_new)                 \
  X(pa_operation_get_state)                \
  X(pa_operation_cancel)                   \
  X(pa_operation_unref)                    \
  X(pa_stream_new)                         \
  X(pa_stream_unref)                       \
  X(pa_stream_connect_record)              \
  X(pa_stream_disconnect)                  \
  X(pa_stream_get_state)                   \
  X(pa_stream_get_context)                 \
  X(pa_stream_get_index)                   \
  X(pa_stream_get_device_name)             \
  X(pa_stream_get_sample_spec)             \
  X(pa_stream_set_state_callback)          \
  X(pa_stream_set_read_callback)           \
  X(pa_stream_set_moved_callback)          \
  X(pa_stream_peek)                        \
  X(pa_stream_drop)                        \
  X(pa_sample_spec_valid)                  \
  X(pa_usec_to_bytes)                      \
  X(pa_bytes_to_usec)                      \
  X(pa_rtclock_now)

// One pointer per function, typed from the library's own declaration, so a
// call through the table is checked exactly like a direct call.
struct LibpulseApi {
#define ZT_LIBPULSE_MEMBER(name) decltype(&::name) name = nullptr;
  ZT_LIBPULSE_FUNCTIONS(ZT_LIBPULSE_MEMBER)
#undef ZT_LIBPULSE_MEMBER
};

// The soname the backend opens.
inline constexpr const char* kLibpulseName = "libpulse.so.0";

// Opens `soname` (RTLD_NOW | RTLD_LOCAL) and resolves every function into
// `api`. False, with `api` left all null and the library closed again,
// when the library cannot be opened or lacks any of the functions.
bool resolveLibpulse(const char* soname, LibpulseApi* api);

// The process-wide load: the first call opens the library, later calls
// answer the first one's outcome. Thread-safe. The library stays loaded
// for the life of the process (its loop thread never ends).
bool loadLibpulse();

// The process-wide table; only after `loadLibpulse()` answered true.
const LibpulseApi& libpulse();

// For tests: the soname the process-wide load opens instead of
// kLibpulseName. Only has an effect before the first `loadLibpulse()`.
void setLibpulseNameForTesting(const char* soname);

}  // namespace zt::platform::pulse
