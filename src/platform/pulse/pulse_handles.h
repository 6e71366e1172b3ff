// Owners of the sound server's objects. A stream and a context are cut off from their callbacks
// before they are disconnected: a callback may run during the disconnect, and its owner is
// already being torn down.
#pragma once

#include <pulse/context.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>

#include "util/unique_handle.h"

namespace nolv {

inline void close_pulse_stream(pa_stream* stream) {
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_set_write_callback(stream, nullptr, nullptr);
  pa_stream_disconnect(stream);
  pa_stream_unref(stream);
}

inline void close_pulse_context(pa_context* context) {
  pa_context_set_state_callback(context, nullptr, nullptr);
  pa_context_disconnect(context);
  pa_context_unref(context);
}

using PulseMainloop = UniqueHandle<pa_mainloop, pa_mainloop_free>;
using PulseThreadedMainloop = UniqueHandle<pa_threaded_mainloop, pa_threaded_mainloop_free>;
using PulseContext = UniqueHandle<pa_context, close_pulse_context>;
using PulseStream = UniqueHandle<pa_stream, close_pulse_stream>;

}  // namespace nolv
