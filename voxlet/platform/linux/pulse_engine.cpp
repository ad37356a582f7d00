#include "pulse_engine.h"

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

struct OperationDeleter {
  void operator()(pa_operation* o) const { pa_operation_unref(o); }
};
using OperationPtr = std::unique_ptr<pa_operation, OperationDeleter>;

}  // namespace

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
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "voxlet");
  pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "phone");
  conn->context_.reset(pa_context_new_with_proplist(pa_threaded_mainloop_get_api(conn->loop_.get()),
                                                    "voxlet", props));
  pa_proplist_free(props);
  if (!conn->context_) return fail(PA_ERR_INTERNAL);
  pa_context* ctx = conn->context_.get();
  pa_context_set_state_callback(
      ctx, [](pa_context*, void* loop) { signalLoop(static_cast<pa_threaded_mainloop*>(loop)); },
      conn->loop_.get());
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

PulseConnection::~PulseConnection() {
  if (running_) {
    {
      Lock lock(loop_.get());
      pa_context_set_state_callback(context_.get(), nullptr, nullptr);
      pa_context_disconnect(context_.get());
    }
    pa_threaded_mainloop_stop(loop_.get());
  } else if (context_) {
    pa_context_set_state_callback(context_.get(), nullptr, nullptr);
    pa_context_disconnect(context_.get());
  }
  context_.reset();
  loop_.reset();
}

int microphoneStatusFor(int connectCode) {
  return connectCode == PA_ERR_ACCESS ? 2 : 3;
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
  if (stream_) return true;
  platform::AudioFormat format = tapFormat_.channelCount > 0 ? tapFormat_ : sourceFormat;
  pa_sample_spec spec{};
  spec.format = PA_SAMPLE_FLOAT32NE;
  spec.rate = static_cast<uint32_t>(format.sampleRate);
  spec.channels = static_cast<uint8_t>(format.channelCount);
  if (!pa_sample_spec_valid(&spec)) {
    if (error) *error = pa_strerror(PA_ERR_INVALID);
    return false;
  }
  pa_channel_map map{};
  const pa_channel_map* useMap = nullptr;
  if (sourceMap.channels == spec.channels && pa_channel_map_valid(&sourceMap)) {
    useMap = &sourceMap;
  } else if (pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT)) {
    useMap = &map;
  }
  PaStreamPtr stream(pa_stream_new(conn->context(), "voxlet capture", &spec, useMap));
  if (!stream) {
    if (error) *error = pa_strerror(pa_context_errno(conn->context()));
    return false;
  }
  pa_stream_set_state_callback(stream.get(), &PulseAudioEngine::onState, conn->loop());
  pa_stream_set_read_callback(stream.get(), &PulseAudioEngine::onRead, this);

  const uint32_t frameBytes = static_cast<uint32_t>(pa_frame_size(&spec));
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(-1);
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = tapFrames_ * frameBytes;
  pending_.assign(spec.channels, std::vector<float>(tapFrames_));
  filled_ = 0;
  carry_.clear();

  if (pa_stream_connect_record(stream.get(), sourceName.empty() ? nullptr : sourceName.c_str(),
                               &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
    if (error) *error = pa_strerror(pa_context_errno(conn->context()));
    pa_stream_set_read_callback(stream.get(), nullptr, nullptr);
    return false;
  }
  pa_stream* s = stream.get();
  conn->waitFor(
      [s] {
        const pa_stream_state_t st = pa_stream_get_state(s);
        return st == PA_STREAM_READY || !PA_STREAM_IS_GOOD(st);
      },
      kRequestSeconds);
  if (pa_stream_get_state(s) != PA_STREAM_READY) {
    const int code = pa_context_errno(conn->context());
    if (error) *error = pa_strerror(code != PA_OK ? code : PA_ERR_TIMEOUT);
    pa_stream_set_read_callback(s, nullptr, nullptr);
    pa_stream_set_state_callback(s, nullptr, nullptr);
    pa_stream_disconnect(s);
    return false;
  }
  stream_ = std::move(stream);
  return true;
}

void PulseAudioEngine::stop() {
  std::shared_ptr<PulseConnection> conn;
  {
    std::lock_guard guard(mutex_);
    conn = conn_;
  }
  if (!conn) return;
  PulseConnection::Lock lock(conn->loop());
  if (!stream_) return;
  pa_stream_set_read_callback(stream_.get(), nullptr, nullptr);
  pa_stream_set_state_callback(stream_.get(), nullptr, nullptr);
  pa_stream_disconnect(stream_.get());
  stream_.reset();
  filled_ = 0;
  carry_.clear();
}

void PulseAudioEngine::onState(pa_stream*, void* loop) {
  signalLoop(static_cast<pa_threaded_mainloop*>(loop));
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
