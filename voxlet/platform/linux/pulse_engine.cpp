#include "pulse_engine.h"

#include <algorithm>
#include <cstring>

#include "threads.h"

namespace voxlet::linux_backend {

namespace {

constexpr double kConnectSeconds = 5.0;
constexpr double kRequestSeconds = 5.0;

// Format reported when no server can be reached: the server's usual default. The stream then
// fails to start and the engine reports the server's own error.
constexpr platform::AudioFormat kUnreachableFormat{44100.0, 2};

void signalLoop(pa_threaded_mainloop* loop) {
  pa_threaded_mainloop_signal(loop, 0);
}

void signalOnStateChange(pa_context*, void* loop) {
  signalLoop(static_cast<pa_threaded_mainloop*>(loop));
}

pa_usec_t wallClockNow() {
  timeval tv{};
  pa_gettimeofday(&tv);
  return pa_timeval_load(&tv);
}

}  // namespace

std::chrono::milliseconds retryDelay(int failures) {
  constexpr std::chrono::milliseconds kFirst{100}, kMost{1000};
  if (failures <= 0) return kFirst;
  if (failures >= 4) return kMost;
  return std::min(kFirst * (1 << failures), kMost);
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
    pa_threaded_mainloop* loop = nullptr;
    bool fired = false;
  } timer;
  timer.loop = loop_.get();
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_.get());
  timeval tv{};
  pa_gettimeofday(&tv);
  pa_timeval_add(&tv, static_cast<pa_usec_t>(seconds * PA_USEC_PER_SEC));
  pa_time_event* event = api->time_new(
      api, &tv,
      [](pa_mainloop_api*, pa_time_event*, const timeval*, void* data) {
        auto* t = static_cast<Timer*>(data);
        t->fired = true;
        signalLoop(t->loop);
      },
      &timer);
  while (!done() && !timer.fired) pa_threaded_mainloop_wait(loop_.get());
  api->time_free(event);
  return done();
}

std::shared_ptr<PulseConnection> PulseConnection::open(int* code, std::string* error) {
  auto fail = [&](int c) -> std::shared_ptr<PulseConnection> {
    if (code) *code = c;
    if (error) *error = pa_strerror(c);
    return nullptr;
  };
  std::shared_ptr<PulseConnection> conn(new PulseConnection());
  conn->loop_.reset(pa_threaded_mainloop_new());
  if (!conn->loop_) return fail(PA_ERR_INTERNAL);
  conn->context_ = conn->newContext();
  if (!conn->context_) return fail(PA_ERR_INTERNAL);
  pa_context* ctx = conn->context_.get();
  // A child process must not start a sound server of its own.
  if (pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return fail(pa_context_errno(ctx));
  }
  // The main-loop thread inherits a mask that leaves termination signals to the program.
  const sigset_t previous = blockTerminationSignals();
  const int started = pa_threaded_mainloop_start(conn->loop_.get());
  restoreSignals(previous);
  if (started < 0) return fail(PA_ERR_INTERNAL);
  conn->running_ = true;
  Lock lock(conn->loop_.get());
  auto settled = [ctx] {
    const pa_context_state_t st = pa_context_get_state(ctx);
    return st == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(st);
  };
  if (!conn->waitFor(settled, kConnectSeconds)) return fail(PA_ERR_TIMEOUT);
  if (pa_context_get_state(ctx) != PA_CONTEXT_READY) {
    const int c = pa_context_errno(ctx);
    return fail(c != PA_OK ? c : PA_ERR_CONNECTIONREFUSED);
  }
  return conn;
}

ContextPtr PulseConnection::newContext() const {
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "voxlet");
  pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "phone");
  ContextPtr ctx(
      pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_.get()), "voxlet", props));
  pa_proplist_free(props);
  if (ctx) pa_context_set_state_callback(ctx.get(), &signalOnStateChange, loop_.get());
  return ctx;
}

bool PulseConnection::reconnect(pa_context_notify_cb_t onState, void* userdata) {
  if (context_) {
    pa_context_set_state_callback(context_.get(), nullptr, nullptr);
    pa_context_set_subscribe_callback(context_.get(), nullptr, nullptr);
    pa_context_disconnect(context_.get());
    context_.reset();
  }
  ContextPtr ctx = newContext();
  if (!ctx) return false;
  context_ = std::move(ctx);
  pa_context_set_state_callback(context_.get(), onState, userdata);
  return pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
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
        pa_context_set_state_callback(context_.get(), nullptr, nullptr);
        pa_context_set_subscribe_callback(context_.get(), nullptr, nullptr);
        pa_context_disconnect(context_.get());
      }
    }
    pa_threaded_mainloop_stop(loop_.get());
  } else if (context_) {
    pa_context_set_state_callback(context_.get(), nullptr, nullptr);
    pa_context_disconnect(context_.get());
  }
  context_.reset();
  loop_.reset();
}

platform::MicrophoneAuthorization microphoneStatusFor(int connectCode) {
  return connectCode == PA_ERR_ACCESS ? platform::MicrophoneAuthorization::Denied
                                      : platform::MicrophoneAuthorization::Authorized;
}

PulseAudioEngine::PulseAudioEngine(ConnectionSource connect,
                                   std::function<void(platform::AudioFormat)> formatChosen)
    : connect_(std::move(connect)), formatChosen_(std::move(formatChosen)) {}

PulseAudioEngine::~PulseAudioEngine() {
  stop();
  std::shared_ptr<PulseConnection> conn;
  {
    std::lock_guard guard(mutex_);
    conn = conn_;
  }
  if (conn) {
    PulseConnection::Lock lock(conn->loop());
    tap_ = nullptr;
  }
}

std::shared_ptr<PulseConnection> PulseAudioEngine::connection(std::string* error) {
  std::lock_guard guard(mutex_);
  if (!conn_) {
    std::string why;
    conn_ = connect_ ? connect_(&why) : nullptr;
    if (!conn_ && error) *error = why.empty() ? "no sound server" : why;
  }
  return conn_;
}

platform::AudioFormat PulseAudioEngine::outputFormatForBus(uint32_t /*bus*/) {
  auto conn = connection(nullptr);
  if (!conn) return kUnreachableFormat;
  {
    std::lock_guard guard(mutex_);
    if (sourceKnown_) return sourceFormat_;
  }

  struct Query {
    pa_threaded_mainloop* loop = nullptr;
    bool serverDone = false, sourceDone = false, found = false;
    std::string name;
    pa_sample_spec spec{};
    pa_channel_map map{};
  } q;
  q.loop = conn->loop();

  {
    PulseConnection::Lock lock(conn->loop());
    pa_context* ctx = conn->context();
    OperationPtr op(pa_context_get_server_info(
        ctx,
        [](pa_context*, const pa_server_info* info, void* data) {
          auto* q = static_cast<Query*>(data);
          if (info && info->default_source_name) q->name = info->default_source_name;
          q->serverDone = true;
          signalLoop(q->loop);
        },
        &q));
    if (!op) return {};
    if (!conn->waitFor([&] { return q.serverDone; }, kRequestSeconds)) {
      pa_operation_cancel(op.get());  // its callback must not write into q any more
      return {};
    }
    op.reset();
    if (!q.name.empty()) {
      op.reset(pa_context_get_source_info_by_name(
          ctx, q.name.c_str(),
          [](pa_context*, const pa_source_info* info, int eol, void* data) {
            auto* q = static_cast<Query*>(data);
            if (info && !q->found) {
              q->found = true;
              q->spec = info->sample_spec;
              q->map = info->channel_map;
            }
            if (eol != 0) {
              q->sourceDone = true;
              signalLoop(q->loop);
            }
          },
          &q));
      if (!op) return {};
      if (!conn->waitFor([&] { return q.sourceDone; }, kRequestSeconds)) {
        pa_operation_cancel(op.get());
        return {};
      }
    }
  }
  // The main-loop lock is released before the engine's own: connecting takes them the other way.
  std::lock_guard guard(mutex_);
  sourceKnown_ = true;
  sourceName_ = q.found ? q.name : std::string();
  sourceMap_ = q.map;
  sourceFormat_ = q.found ? platform::AudioFormat{static_cast<double>(q.spec.rate), q.spec.channels}
                          : platform::AudioFormat{};
  return sourceFormat_;
}

void PulseAudioEngine::installTapOnBus(uint32_t /*bus*/, uint32_t bufferSize,
                                       platform::AudioFormat format, platform::TapBlock block) {
  std::shared_ptr<PulseConnection> conn;
  {
    std::lock_guard guard(mutex_);
    conn = conn_;
  }
  PulseConnection::Lock lock(conn ? conn->loop() : nullptr);
  tap_ = std::move(block);
  tapFormat_ = format;
  tapFrames_ = bufferSize > 0 ? bufferSize : 2048;
  if (formatChosen_) formatChosen_(format);
}

void PulseAudioEngine::removeTapOnBus(uint32_t /*bus*/) {
  std::shared_ptr<PulseConnection> conn;
  {
    std::lock_guard guard(mutex_);
    conn = conn_;
  }
  // Tap callbacks run with the main-loop lock held, so once it is ours none is running and none
  // can start after the block is gone.
  PulseConnection::Lock lock(conn ? conn->loop() : nullptr);
  tap_ = nullptr;
}

bool PulseAudioEngine::startAndReturnError(std::string* error) {
  std::string why;
  auto conn = connection(&why);
  if (!conn) {
    if (error) *error = why;
    return false;
  }
  std::string sourceName;
  pa_channel_map sourceMap{};
  platform::AudioFormat sourceFormat;
  {
    std::lock_guard guard(mutex_);
    sourceName = sourceName_;
    sourceMap = sourceMap_;
    sourceFormat = sourceFormat_;
  }

  PulseConnection::Lock lock(conn->loop());
  if (capturing_) return true;
  // Every stream, also after the source changes, has the tap's format: the server converts.
  platform::AudioFormat format = tapFormat_.channelCount > 0 ? tapFormat_ : sourceFormat;
  spec_ = pa_sample_spec{};
  spec_.format = PA_SAMPLE_FLOAT32NE;
  spec_.rate = static_cast<uint32_t>(format.sampleRate);
  spec_.channels = static_cast<uint8_t>(format.channelCount);
  if (!pa_sample_spec_valid(&spec_)) {
    if (error) *error = pa_strerror(PA_ERR_INVALID);
    return false;
  }
  if (sourceMap.channels == spec_.channels && pa_channel_map_valid(&sourceMap)) {
    map_ = sourceMap;
  } else if (!pa_channel_map_init_extend(&map_, spec_.channels, PA_CHANNEL_MAP_DEFAULT)) {
    map_ = pa_channel_map{};
  }
  live_ = conn.get();
  if (!openStream(sourceName, error)) return false;
  pa_stream* s = stream_.get();
  conn->waitFor(
      [s] {
        const pa_stream_state_t st = pa_stream_get_state(s);
        return st == PA_STREAM_READY || !PA_STREAM_IS_GOOD(st);
      },
      kRequestSeconds);
  if (pa_stream_get_state(s) != PA_STREAM_READY) {
    const int code = pa_context_errno(conn->context());
    if (error) *error = pa_strerror(code != PA_OK ? code : PA_ERR_TIMEOUT);
    dropStream();
    return false;
  }
  capturing_ = true;
  failures_ = 0;
  pa_context_set_state_callback(conn->context(), &PulseAudioEngine::onContextState, this);
  watch();
  return true;
}

bool PulseAudioEngine::openStream(const std::string& source, std::string* error) {
  pa_context* ctx = live_->context();
  const pa_channel_map* map = pa_channel_map_valid(&map_) ? &map_ : nullptr;
  PaStreamPtr stream(pa_stream_new(ctx, "voxlet capture", &spec_, map));
  if (!stream) {
    if (error) *error = pa_strerror(pa_context_errno(ctx));
    return false;
  }
  pa_stream_set_state_callback(stream.get(), &PulseAudioEngine::onStreamState, this);
  pa_stream_set_read_callback(stream.get(), &PulseAudioEngine::onRead, this);
  pa_stream_set_moved_callback(stream.get(), &PulseAudioEngine::onMoved, this);

  pa_buffer_attr attr{};
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(-1);
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = tapFrames_ * static_cast<uint32_t>(pa_frame_size(&spec_));
  // A buffer begun on another source is not finished with this one's audio.
  pending_.assign(spec_.channels, std::vector<float>(tapFrames_));
  filled_ = 0;
  carry_.clear();

  if (pa_stream_connect_record(stream.get(), source.empty() ? nullptr : source.c_str(), &attr,
                               PA_STREAM_ADJUST_LATENCY) < 0) {
    if (error) *error = pa_strerror(pa_context_errno(ctx));
    pa_stream_set_read_callback(stream.get(), nullptr, nullptr);
    pa_stream_set_state_callback(stream.get(), nullptr, nullptr);
    pa_stream_set_moved_callback(stream.get(), nullptr, nullptr);
    return false;
  }
  stream_ = std::move(stream);
  streamSource_ = source;
  return true;
}

void PulseAudioEngine::dropStream() {
  if (!stream_) return;
  pa_stream* s = stream_.get();
  pa_stream_set_read_callback(s, nullptr, nullptr);
  pa_stream_set_state_callback(s, nullptr, nullptr);
  pa_stream_set_moved_callback(s, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(s))) pa_stream_disconnect(s);
  stream_.reset();
  streamSource_.clear();
  filled_ = 0;
  carry_.clear();
}

void PulseAudioEngine::watch() {
  pa_context* ctx = live_->context();
  pa_context_set_subscribe_callback(ctx, &PulseAudioEngine::onEvent, this);
  OperationPtr op(
      pa_context_subscribe(ctx,
                           static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER |
                                                               PA_SUBSCRIPTION_MASK_SOURCE),
                           nullptr, nullptr));
  watching_ = true;
}

void PulseAudioEngine::schedule(std::chrono::milliseconds delay) {
  const pa_usec_t at =
      wallClockNow() +
      static_cast<pa_usec_t>(std::chrono::duration_cast<std::chrono::microseconds>(delay).count());
  if (timerArmed_ && timerAt_ <= at) return;
  timeval tv{};
  pa_timeval_store(&tv, at);
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(live_->loop());
  if (timer_) {
    api->time_restart(timer_, &tv);
  } else {
    timer_ = api->time_new(api, &tv, &PulseAudioEngine::onTimer, this);
  }
  timerArmed_ = timer_ != nullptr;
  timerAt_ = at;
}

void PulseAudioEngine::follow() {
  if (!capturing_) return;
  pa_context* ctx = live_->context();
  const pa_context_state_t state = ctx ? pa_context_get_state(ctx) : PA_CONTEXT_FAILED;
  if (!PA_CONTEXT_IS_GOOD(state)) {
    // The server is gone: no stream, no question open; try again on a fresh context.
    dropStream();
    if (serverInfo_) pa_operation_cancel(serverInfo_.get());
    serverInfo_.reset();
    defaultKnown_ = false;
    watching_ = false;
    ++failures_;
    if (!live_->reconnect(&PulseAudioEngine::onContextState, this)) {
      schedule(retryDelay(failures_));
    }
    return;
  }
  if (state != PA_CONTEXT_READY) return;  // its state callback calls again
  if (!watching_) {
    watch();
    defaultMayChange_ = true;
  }
  if (stream_) {
    const pa_stream_state_t st = pa_stream_get_state(stream_.get());
    if (st == PA_STREAM_READY) failures_ = 0;
    if (!PA_STREAM_IS_GOOD(st)) {
      dropStream();
      defaultMayChange_ = true;
    }
  }
  if (defaultKnown_) {
    defaultKnown_ = false;
    serverInfo_.reset();
    if (defaultAnswered_ && (!stream_ || streamSource_ != defaultSource_)) {
      dropStream();
      if (!defaultSource_.empty()) {
        ++failures_;
        if (!openStream(defaultSource_, nullptr)) schedule(retryDelay(failures_));
      }
    }
  }
  if (defaultMayChange_ && !serverInfo_) {
    defaultMayChange_ = false;
    serverInfo_.reset(pa_context_get_server_info(ctx, &PulseAudioEngine::onServerInfo, this));
  }
}

void PulseAudioEngine::stop() {
  std::shared_ptr<PulseConnection> conn;
  {
    std::lock_guard guard(mutex_);
    conn = conn_;
  }
  if (!conn) return;
  // Nothing here waits for the server: with the lock held, the engine lets go of whatever
  // connection state it has, reachable or not.
  PulseConnection::Lock lock(conn->loop());
  capturing_ = false;
  if (timer_) {
    pa_threaded_mainloop_get_api(conn->loop())->time_free(timer_);
    timer_ = nullptr;
    timerArmed_ = false;
  }
  if (serverInfo_) pa_operation_cancel(serverInfo_.get());
  serverInfo_.reset();
  defaultKnown_ = false;
  defaultMayChange_ = false;
  watching_ = false;
  conn->resetCallbacks();
  dropStream();
}

void PulseAudioEngine::onStreamState(pa_stream* s, void* data) {
  auto* self = static_cast<PulseAudioEngine*>(data);
  signalLoop(self->live_->loop());
  if (!self->capturing_ || s != self->stream_.get()) return;
  const pa_stream_state_t st = pa_stream_get_state(s);
  if (st == PA_STREAM_READY) {
    self->schedule(std::chrono::milliseconds(0));
  } else if (!PA_STREAM_IS_GOOD(st)) {
    self->schedule(retryDelay(self->failures_));
  }
}

// The server moved the stream to another source (the default, usually): it records on.
void PulseAudioEngine::onMoved(pa_stream* s, void* data) {
  auto* self = static_cast<PulseAudioEngine*>(data);
  const char* name = pa_stream_get_device_name(s);
  if (s == self->stream_.get() && name) self->streamSource_ = name;
}

void PulseAudioEngine::onContextState(pa_context* c, void* data) {
  auto* self = static_cast<PulseAudioEngine*>(data);
  signalLoop(self->live_->loop());
  if (!self->capturing_) return;
  const pa_context_state_t st = pa_context_get_state(c);
  if (st == PA_CONTEXT_READY) {
    self->schedule(std::chrono::milliseconds(0));
  } else if (!PA_CONTEXT_IS_GOOD(st)) {
    self->schedule(retryDelay(self->failures_));
  }
}

void PulseAudioEngine::onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t,
                               void* data) {
  auto* self = static_cast<PulseAudioEngine*>(data);
  if (!self->capturing_) return;
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  // The default source is a server property; a source that comes or goes may change it. A
  // source's own changes (volume, suspension) do not.
  if (facility == PA_SUBSCRIPTION_EVENT_SERVER ||
      (facility == PA_SUBSCRIPTION_EVENT_SOURCE && kind != PA_SUBSCRIPTION_EVENT_CHANGE)) {
    self->defaultMayChange_ = true;
    self->schedule(std::chrono::milliseconds(0));
  }
}

void PulseAudioEngine::onServerInfo(pa_context*, const pa_server_info* info, void* data) {
  auto* self = static_cast<PulseAudioEngine*>(data);
  if (!self->capturing_) return;
  // No answer (the request failed) changes nothing: a lost connection has its own callback.
  self->defaultAnswered_ = info != nullptr;
  self->defaultSource_ = info && info->default_source_name ? info->default_source_name : "";
  self->defaultKnown_ = true;
  self->schedule(std::chrono::milliseconds(0));
}

void PulseAudioEngine::onTimer(pa_mainloop_api*, pa_time_event*, const timeval*, void* data) {
  auto* self = static_cast<PulseAudioEngine*>(data);
  self->timerArmed_ = false;
  self->follow();
}

void PulseAudioEngine::onRead(pa_stream* s, size_t, void* self) {
  static_cast<PulseAudioEngine*>(self)->read(s);
}

// Main-loop thread, lock held.
void PulseAudioEngine::read(pa_stream* s) {
  const size_t channels = pending_.size();
  if (channels == 0) return;
  const size_t frameBytes = channels * sizeof(float);
  while (pa_stream_readable_size(s) > 0) {
    const void* data = nullptr;
    size_t nbytes = 0;
    if (pa_stream_peek(s, &data, &nbytes) < 0) return;
    if (nbytes == 0) break;
    if (data) {
      const auto* bytes = static_cast<const uint8_t*>(data);
      size_t offset = 0;
      if (!carry_.empty()) {
        const size_t need = std::min(frameBytes - carry_.size(), nbytes);
        carry_.insert(carry_.end(), bytes, bytes + need);
        offset = need;
        if (carry_.size() == frameBytes) {
          float frame[PA_CHANNELS_MAX];
          std::memcpy(frame, carry_.data(), frameBytes);
          deinterleave(frame, 1);
          carry_.clear();
        }
      }
      const size_t whole = (nbytes - offset) / frameBytes;
      if (whole > 0) {
        std::vector<float> frames(whole * channels);
        std::memcpy(frames.data(), bytes + offset, whole * frameBytes);
        deinterleave(frames.data(), whole);
      }
      offset += whole * frameBytes;
      carry_.insert(carry_.end(), bytes + offset, bytes + nbytes);
    }
    // A hole (data is null) is skipped: there is no audio for it.
    pa_stream_drop(s);
  }
}

void PulseAudioEngine::deinterleave(const float* frames, size_t count) {
  const size_t channels = pending_.size();
  for (size_t i = 0; i < count; ++i) {
    for (size_t c = 0; c < channels; ++c) pending_[c][filled_] = frames[i * channels + c];
    if (++filled_ < tapFrames_) continue;
    std::vector<std::vector<float>> full(channels, std::vector<float>(tapFrames_));
    full.swap(pending_);
    filled_ = 0;
    if (tap_) {
      platform::TapBlock block = tap_;  // the block may remove the tap while it runs
      block(std::make_shared<const platform::AudioBuffer>(std::move(full), tapFrames_));
    }
  }
}

}  // namespace voxlet::linux_backend
