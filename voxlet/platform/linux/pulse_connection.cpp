#include "pulse_connection.h"

#include "threads.h"

namespace voxlet::linux_backend {

namespace {

void signalOnStateChange(pa_context*, void* loop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

}  // namespace

Progress progressOf(pa_context_state_t state) {
  switch (state) {
    case PA_CONTEXT_UNCONNECTED:
    case PA_CONTEXT_CONNECTING:
    case PA_CONTEXT_AUTHORIZING:
    case PA_CONTEXT_SETTING_NAME:
      return Progress::Pending;
    case PA_CONTEXT_READY:
      return Progress::Ready;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      return Progress::Ended;
  }
  return Progress::Ended;
}

Progress progressOf(pa_stream_state_t state) {
  switch (state) {
    case PA_STREAM_UNCONNECTED:
    case PA_STREAM_CREATING:
      return Progress::Pending;
    case PA_STREAM_READY:
      return Progress::Ready;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
      return Progress::Ended;
  }
  return Progress::Ended;
}

void detachCallbacks(pa_stream* stream) {
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_set_moved_callback(stream, nullptr, nullptr);
}

void detachCallbacks(pa_context* context) {
  pa_context_set_state_callback(context, nullptr, nullptr);
  pa_context_set_subscribe_callback(context, nullptr, nullptr);
}

PulseConnection::Lock::Lock(pa_threaded_mainloop* loop)
    : loop_(loop), held_(loop && !pa_threaded_mainloop_in_thread(loop)) {
  if (held_) pa_threaded_mainloop_lock(loop_);
}

PulseConnection::Lock::~Lock() {
  if (held_) pa_threaded_mainloop_unlock(loop_);
}

bool PulseConnection::waitFor(const std::function<bool()>& done, double seconds) {
  if (done()) return true;
  struct Timer {
    const PulseConnection* conn = nullptr;
    bool fired = false;
  } timer{this};
  pa_mainloop_api* loopApi = api();
  timeval tv{};
  pa_gettimeofday(&tv);
  pa_timeval_add(&tv, static_cast<pa_usec_t>(seconds * PA_USEC_PER_SEC));
  pa_time_event* event = loopApi->time_new(
      loopApi, &tv,
      [](pa_mainloop_api*, pa_time_event*, const timeval*, void* data) {
        auto* t = static_cast<Timer*>(data);
        t->fired = true;
        t->conn->signal();
      },
      &timer);
  while (!done() && !timer.fired) pa_threaded_mainloop_wait(loop_.get());
  loopApi->time_free(event);
  return done();
}

std::shared_ptr<PulseConnection> PulseConnection::open(PulseFailure* failure) {
  auto fail = [&](const char* call, int code) -> std::shared_ptr<PulseConnection> {
    if (failure) *failure = PulseFailure{call, code};
    return nullptr;
  };
  std::shared_ptr<PulseConnection> conn(new PulseConnection());
  conn->loop_.reset(pa_threaded_mainloop_new());
  if (!conn->loop_) return fail("pa_threaded_mainloop_new", PA_ERR_INTERNAL);
  conn->context_ = conn->newContext();
  if (!conn->context_) return fail("pa_context_new_with_proplist", PA_ERR_INTERNAL);
  pa_context* ctx = conn->context_.get();
  // A child process must not start a sound server of its own.
  if (pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return fail("pa_context_connect", pa_context_errno(ctx));
  }
  // The main-loop thread inherits a mask that leaves termination signals to the program.
  const sigset_t previous = blockTerminationSignals();
  const int started = pa_threaded_mainloop_start(conn->loop_.get());
  restoreSignals(previous);
  if (started < 0) return fail("pa_threaded_mainloop_start", PA_ERR_INTERNAL);
  conn->running_ = true;
  Lock lock(conn->loop_.get());
  auto settled = [ctx] { return progressOf(pa_context_get_state(ctx)) != Progress::Pending; };
  // A server that accepts the connection but never answers (stopped, or hung) is given up on.
  if (!conn->waitFor(settled, kConnectSeconds)) return fail("pa_context_connect", PA_ERR_TIMEOUT);
  if (progressOf(pa_context_get_state(ctx)) != Progress::Ready) {
    const int code = pa_context_errno(ctx);
    return fail("pa_context_connect", code != PA_OK ? code : PA_ERR_CONNECTIONREFUSED);
  }
  return conn;
}

std::optional<DefaultSource> PulseConnection::describeDefaultSource(double seconds) {
  struct Query {
    const PulseConnection* conn = nullptr;
    bool serverDone = false, sourceDone = false, found = false;
    DefaultSource source{};
  } q{this};
  Lock lock(loop());
  pa_context* ctx = context();
  OperationPtr op(pa_context_get_server_info(
      ctx,
      [](pa_context*, const pa_server_info* info, void* data) {
        auto* q = static_cast<Query*>(data);
        if (info && info->default_source_name) q->source.name = info->default_source_name;
        q->serverDone = true;
        q->conn->signal();
      },
      &q));
  if (!op) return std::nullopt;
  if (!waitFor([&] { return q.serverDone; }, seconds)) {
    pa_operation_cancel(op.get());  // its callback must not write into q any more
    return std::nullopt;
  }
  if (q.source.name.empty()) return q.source;
  op.reset(pa_context_get_source_info_by_name(
      ctx, q.source.name.c_str(),
      [](pa_context*, const pa_source_info* info, int eol, void* data) {
        auto* q = static_cast<Query*>(data);
        if (info && !q->found) {
          q->found = true;
          q->source.spec = info->sample_spec;
          q->source.map = info->channel_map;
        }
        if (eol != 0) {
          q->sourceDone = true;
          q->conn->signal();
        }
      },
      &q));
  if (!op) return std::nullopt;
  if (!waitFor([&] { return q.sourceDone; }, seconds)) {
    pa_operation_cancel(op.get());
    return std::nullopt;
  }
  if (!q.found) return DefaultSource{};
  return q.source;
}

ContextPtr PulseConnection::newContext() const {
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "voxlet");
  pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "phone");
  ContextPtr ctx(pa_context_new_with_proplist(api(), "voxlet", props));
  pa_proplist_free(props);
  if (ctx) pa_context_set_state_callback(ctx.get(), &signalOnStateChange, loop_.get());
  return ctx;
}

bool PulseConnection::reconnect(pa_context_notify_cb_t onState, void* userdata,
                                PulseFailure* failure) {
  if (context_) {
    detachCallbacks(context_.get());
    pa_context_disconnect(context_.get());
    context_.reset();
  }
  context_ = newContext();
  if (!context_) {
    *failure = PulseFailure{"pa_context_new_with_proplist", PA_ERR_INTERNAL};
    return false;
  }
  pa_context_set_state_callback(context_.get(), onState, userdata);
  if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    *failure = PulseFailure{"pa_context_connect", pa_context_errno(context_.get())};
    return false;
  }
  return true;
}

void PulseConnection::resetCallbacks() {
  if (!context_) return;
  pa_context_set_state_callback(context_.get(), &signalOnStateChange, loop_.get());
  pa_context_set_subscribe_callback(context_.get(), nullptr, nullptr);
}

PulseConnection::~PulseConnection() {
  if (running_) {
    {
      Lock lock(loop_.get());
      if (context_) {
        detachCallbacks(context_.get());
        pa_context_disconnect(context_.get());
      }
    }
    pa_threaded_mainloop_stop(loop_.get());
  } else if (context_) {
    detachCallbacks(context_.get());
    pa_context_disconnect(context_.get());
  }
  context_.reset();
  loop_.reset();
}

std::shared_ptr<PulseConnection> SharedConnection::get(int* code, std::string* error) {
  std::lock_guard lock(mutex_);
  PulseFailure failure = unanswered_;
  if (!connection_ && failure.code == PA_OK) {
    connection_ = PulseConnection::open(&failure);
    if (!connection_ && failure.code == PA_ERR_TIMEOUT) unanswered_ = failure;
  }
  if (connection_) failure = PulseFailure{};
  if (code) *code = failure.code;
  if (error && failure.code != PA_OK) *error = failure.message();
  return connection_;
}

platform::MicrophoneAuthorization microphoneStatusFor(int connectCode) {
  return connectCode == PA_ERR_ACCESS ? platform::MicrophoneAuthorization::Denied
                                      : platform::MicrophoneAuthorization::Authorized;
}

}  // namespace voxlet::linux_backend
