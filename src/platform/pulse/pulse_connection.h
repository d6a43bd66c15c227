// The one connection to the server that the microphone, the system audio
// and the device questions of this process share.
//
// Every connection costs the client its own memory pool, a mapping of the
// server's pool (every page of it that the connection's streams have read
// stays resident: near a megabyte after a few seconds of recording on
// PulseAudio, and the same pages again in each connection that reads),
// a ring channel and socket buffers. Sharing one connection pays for these
// once; each user hears the connection's state changes and server events
// and keeps to its own streams and questions on it.
#pragma once

#include <pulse/pulseaudio.h>

namespace zt::platform::pulse {

// A user of the shared connection. Both calls run on the loop thread with
// the loop lock held.
class ConnectionUser {
 public:
  virtual void connectionState(pa_context* context, pa_context_state_t state) = 0;
  // Every event of the sinks, sources and server; each user keeps to the
  // ones it cares about.
  virtual void connectionEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index) = 0;

 protected:
  ~ConnectionUser() = default;
};

// Lock held. The shared connection, started when there is none yet or the
// last one failed; it may still be on its way (the user then hears when it
// is ready). `user` hears of it until it leaves. Null when libpulse could
// not make or start one.
pa_context* joinConnection(ConnectionUser* user);

// Lock held. `user` hears nothing more of `context`; once no callback is
// running for it, neither will one. The connection closes when its last
// user leaves. Nothing happens for a null context.
void leaveConnection(ConnectionUser* user, pa_context* context);

}  // namespace zt::platform::pulse
