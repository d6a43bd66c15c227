#include "platform/pulse/pulse_connection.h"

#include <algorithm>
#include <vector>

#include "platform/pulse/pulse_loop.h"

namespace zt::platform::pulse {

namespace {

struct Connection {
  pa_context* context = nullptr;
  std::vector<ConnectionUser*> users;
  int calling = 0;  // callbacks under way: the connection outlives them
};

// The connection new users join; null when there is none or it failed.
// Guarded by the loop lock, like every connection's fields.
Connection* gCurrent = nullptr;

// Every connection that still has users, the current one and failed ones.
std::vector<Connection*>& connections() {
  static auto* all = new std::vector<Connection*>();
  return *all;
}

void closeIfUnused(Connection* connection) {
  if (!connection->users.empty() || connection->calling > 0) return;
  if (gCurrent == connection) gCurrent = nullptr;
  auto& all = connections();
  all.erase(std::remove(all.begin(), all.end(), connection), all.end());
  closeContext(connection->context);
  delete connection;
}

// Calls `call(user)` for each user still there when its turn comes: a
// callback may make another user leave.
template <class Call>
void tellUsers(Connection* connection, Call call) {
  ++connection->calling;
  const std::vector<ConnectionUser*> users = connection->users;
  for (ConnectionUser* user : users)
    if (std::find(connection->users.begin(), connection->users.end(), user) != connection->users.end())
      call(user);
  --connection->calling;
  closeIfUnused(connection);
}

void onState(pa_context* context, void* userdata) {
  auto* connection = static_cast<Connection*>(userdata);
  const pa_context_state_t state = libpulse().pa_context_get_state(context);
  if (state == PA_CONTEXT_READY) {
    subscribe(context,
              static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                                                  PA_SUBSCRIPTION_MASK_SERVER));
  } else if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
    // Whoever asks next gets a new connection; the users of this one hear
    // of its end now.
    if (gCurrent == connection) gCurrent = nullptr;
  }
  tellUsers(connection, [&](ConnectionUser* user) { user->connectionState(context, state); });
}

void onEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* userdata) {
  tellUsers(static_cast<Connection*>(userdata),
            [&](ConnectionUser* user) { user->connectionEvent(context, type, index); });
}

}  // namespace

pa_context* joinConnection(ConnectionUser* user) {
  if (!gCurrent) {
    pa_mainloop_api* api = loopApi();
    if (!api) return nullptr;
    pa_context* context = newContext(api, "Zentrell audio capture");
    if (!context) return nullptr;
    // Counted as calling while it connects: a connection that fails at once
    // says so through its state callback, before it has any user.
    auto* connection = new Connection{context, {}, 1};
    libpulse().pa_context_set_state_callback(context, &onState, connection);
    libpulse().pa_context_set_subscribe_callback(context, &onEvent, connection);
    const bool started =
        libpulse().pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
    connection->calling = 0;
    connections().push_back(connection);
    if (!started) {
      closeIfUnused(connection);
      return nullptr;
    }
    gCurrent = connection;
  }
  gCurrent->users.push_back(user);
  return gCurrent->context;
}

void leaveConnection(ConnectionUser* user, pa_context* context) {
  if (!context) return;
  // Found through its context: a failed connection is no longer current,
  // but its users still leave it.
  auto& all = connections();
  const auto found =
      std::find_if(all.begin(), all.end(), [context](const Connection* c) { return c->context == context; });
  if (found == all.end()) return;
  Connection* connection = *found;
  auto& users = connection->users;
  users.erase(std::remove(users.begin(), users.end(), user), users.end());
  closeIfUnused(connection);
}

}  // namespace zt::platform::pulse
