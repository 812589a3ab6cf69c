#include "platform/linux/audio/pulse_connection.h"

#include <cstdlib>

namespace quorvel {
namespace {

constexpr const char* clientName = "quorvel";

void signalLoop(pa_threaded_mainloop* loop) {
  pa_threaded_mainloop_signal(loop, /*wait_for_accept=*/0);
}

}  // namespace

pa_usec_t pulseDeadline(double seconds) {
  return pa_rtclock_now() + static_cast<pa_usec_t>(seconds * PA_USEC_PER_SEC);
}

PulseConnection::PulseConnection() : loop(pa_threaded_mainloop_new()) {}

PulseConnection::~PulseConnection() {
  if (loop == nullptr) return;
  if (ctx != nullptr) {
    PulseLock lock(*this);
    dropContext();
  }
  if (loopRunning) pa_threaded_mainloop_stop(loop);
  pa_threaded_mainloop_free(loop);
}

void PulseConnection::dropContext() {
  if (ctx == nullptr) return;
  pa_context_set_state_callback(ctx, nullptr, nullptr);
  pa_context_disconnect(ctx);
  pa_context_unref(ctx);
  ctx = nullptr;
}

std::string PulseConnection::connect(pa_usec_t deadline) {
  if (loop == nullptr) return pa_strerror(PA_ERR_INTERNAL);
  if (!loopRunning) {
    if (pa_threaded_mainloop_start(loop) < 0) {
      return pa_strerror(PA_ERR_INTERNAL);
    }
    loopRunning = true;
  }
  PulseLock lock(*this);
  if (ctx != nullptr && pa_context_get_state(ctx) == PA_CONTEXT_READY) {
    return {};
  }
  // A context the server ended (or one still trying) cannot be reused.
  dropContext();
  ctx = pa_context_new(pa_threaded_mainloop_get_api(loop), clientName);
  if (ctx == nullptr) return pa_strerror(PA_ERR_INTERNAL);
  pa_context_set_state_callback(
      ctx,
      [](pa_context*, void* userdata) {
        signalLoop(static_cast<pa_threaded_mainloop*>(userdata));
      },
      loop);
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
      deadline);
  if (!settled) return pa_strerror(PA_ERR_TIMEOUT);
  if (pa_context_get_state(ctx) != PA_CONTEXT_READY) return lastError();
  return {};
}

std::string PulseConnection::sourceSpec(pa_sample_spec& spec,
                                        pa_usec_t deadline) {
  const char* configured = std::getenv("PULSE_SOURCE");
  const char* name = configured != nullptr && *configured != '\0'
                         ? configured
                         : "@DEFAULT_SOURCE@";
  PulseLock lock(*this);
  queryDone = false;
  queryFound = false;
  pa_operation* operation = pa_context_get_source_info_by_name(
      ctx, name,
      [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
        auto* self = static_cast<PulseConnection*>(userdata);
        std::lock_guard<std::recursive_mutex> guard(self->shared);
        if (info != nullptr) {
          self->querySpec = info->sample_spec;
          self->queryFound = true;
        }
        if (eol != 0) self->queryDone = true;
        signalLoop(self->loop);
      },
      this);
  if (operation == nullptr) return lastError();
  const bool settled = waitLocked(
      [this] {
        return queryDone || !PA_CONTEXT_IS_GOOD(pa_context_get_state(ctx));
      },
      deadline);
  // Cancelled, the operation never calls back into a later query.
  if (!queryDone) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  if (!settled) return pa_strerror(PA_ERR_TIMEOUT);
  if (!queryFound) return lastError();
  spec = querySpec;
  return {};
}

bool PulseConnection::waitLocked(const std::function<bool()>& done,
                                 pa_usec_t deadline) {
  waitExpired = false;
  pa_time_event* timer = pa_context_rttime_new(
      ctx, deadline,
      [](pa_mainloop_api*, pa_time_event*, const struct timeval*,
         void* userdata) {
        auto* self = static_cast<PulseConnection*>(userdata);
        std::lock_guard<std::recursive_mutex> guard(self->shared);
        self->waitExpired = true;
        signalLoop(self->loop);
      },
      this);
  bool satisfied = done();
  while (!satisfied && !waitExpired && timer != nullptr) {
    // The callbacks that end the wait take the callback mutex.
    shared.unlock();
    pa_threaded_mainloop_wait(loop);
    shared.lock();
    satisfied = done();
  }
  if (timer != nullptr) pa_threaded_mainloop_get_api(loop)->time_free(timer);
  return satisfied;
}

std::string PulseConnection::lastError() const {
  if (ctx == nullptr) return pa_strerror(PA_ERR_CONNECTIONTERMINATED);
  return pa_strerror(pa_context_errno(ctx));
}

}  // namespace quorvel
