#include "platform/linux/audio/pulse_connection.h"

#include <cstdlib>

namespace quorvel {
namespace {

constexpr const char* clientName = "quorvel";

void signalLoop(pa_threaded_mainloop* loop) {
  pa_threaded_mainloop_signal(loop, /*wait_for_accept=*/0);
}

struct SourceQuery {
  pa_threaded_mainloop* loop = nullptr;
  bool done = false;
  bool found = false;
  pa_sample_spec spec{};
};

void onSourceInfo(pa_context*, const pa_source_info* info, int eol,
                  void* userdata) {
  auto* query = static_cast<SourceQuery*>(userdata);
  if (info != nullptr) {
    query->spec = info->sample_spec;
    query->found = true;
  }
  if (eol != 0) query->done = true;
  signalLoop(query->loop);
}

}  // namespace

PulseConnection::PulseConnection() : loop(pa_threaded_mainloop_new()) {}

PulseConnection::~PulseConnection() {
  if (loop == nullptr) return;
  if (ctx != nullptr) {
    {
      PulseLock lock(loop);
      pa_context_set_state_callback(ctx, nullptr, nullptr);
      pa_context_disconnect(ctx);
      pa_context_unref(ctx);
    }
  }
  if (loopRunning) pa_threaded_mainloop_stop(loop);
  pa_threaded_mainloop_free(loop);
}

std::string PulseConnection::connect(double timeoutSeconds) {
  if (loop == nullptr) return pa_strerror(PA_ERR_INTERNAL);
  ctx = pa_context_new(pa_threaded_mainloop_get_api(loop), clientName);
  if (ctx == nullptr) return pa_strerror(PA_ERR_INTERNAL);
  pa_context_set_state_callback(
      ctx,
      [](pa_context*, void* userdata) {
        signalLoop(static_cast<pa_threaded_mainloop*>(userdata));
      },
      loop);
  if (pa_threaded_mainloop_start(loop) < 0) return pa_strerror(PA_ERR_INTERNAL);
  loopRunning = true;

  PulseLock lock(loop);
  // The server comes from PULSE_SERVER or the client configuration, as
  // for every client. A helper must not launch a sound server of its own,
  // hence no autospawn.
  if (pa_context_connect(ctx, /*server=*/nullptr, PA_CONTEXT_NOAUTOSPAWN,
                         nullptr) < 0) {
    return lastError();
  }
  const bool settled = waitLocked(
      [this] {
        const pa_context_state_t state = pa_context_get_state(ctx);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
      },
      timeoutSeconds);
  if (!settled) return pa_strerror(PA_ERR_TIMEOUT);
  if (pa_context_get_state(ctx) != PA_CONTEXT_READY) return lastError();
  return {};
}

std::string PulseConnection::sourceSpec(pa_sample_spec& spec,
                                        double timeoutSeconds) {
  const char* configured = std::getenv("PULSE_SOURCE");
  const char* name = configured != nullptr && *configured != '\0'
                         ? configured
                         : "@DEFAULT_SOURCE@";
  SourceQuery query;
  query.loop = loop;
  PulseLock lock(loop);
  pa_operation* operation =
      pa_context_get_source_info_by_name(ctx, name, onSourceInfo, &query);
  if (operation == nullptr) return lastError();
  const bool settled = waitLocked(
      [&] {
        return query.done || !PA_CONTEXT_IS_GOOD(pa_context_get_state(ctx));
      },
      timeoutSeconds);
  // Cancelling keeps the callback from touching query once it is gone.
  if (!query.done) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  if (!settled) return pa_strerror(PA_ERR_TIMEOUT);
  if (!query.found) return lastError();
  spec = query.spec;
  return {};
}

bool PulseConnection::waitLocked(const std::function<bool()>& done,
                                 double timeoutSeconds) {
  struct Timer {
    pa_threaded_mainloop* loop;
    bool expired = false;
  } timer{loop};
  pa_time_event* event = pa_context_rttime_new(
      ctx, pa_rtclock_now() + static_cast<pa_usec_t>(timeoutSeconds * 1e6),
      [](pa_mainloop_api*, pa_time_event*, const struct timeval*,
         void* userdata) {
        auto* fired = static_cast<Timer*>(userdata);
        fired->expired = true;
        signalLoop(fired->loop);
      },
      &timer);
  bool satisfied = done();
  while (!satisfied && !timer.expired && event != nullptr) {
    pa_threaded_mainloop_wait(loop);
    satisfied = done();
  }
  if (event != nullptr) {
    pa_threaded_mainloop_get_api(loop)->time_free(event);
  }
  return satisfied;
}

std::string PulseConnection::lastError() const {
  return pa_strerror(pa_context_errno(ctx));
}

}  // namespace quorvel
