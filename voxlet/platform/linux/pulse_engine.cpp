#include "pulse_engine.h"

namespace voxlet::linux_backend {

namespace {

constexpr double kRequestSeconds = 5.0;

// Format reported when no server can be reached: the server's usual default. The stream then
// fails to start and the engine reports the server's own error.
constexpr platform::AudioFormat kUnreachableFormat{44100.0, 2};

using Kind = CaptureInput::Kind;

}  // namespace

PulseAudioEngine::PulseAudioEngine(ConnectionSource connect,
                                   std::function<void(platform::AudioFormat)> formatChosen)
    : connect_(std::move(connect)),
      formatChosen_(std::move(formatChosen)),
      deliver_([this](platform::AudioBufferPtr buffer) {
        if (!tap_) return;
        platform::TapBlock block = tap_;  // the block may remove the tap while it runs
        block(std::move(buffer));
      }) {}

PulseAudioEngine::~PulseAudioEngine() {
  stop();
  LockedConnection conn = locked();
  tap_ = nullptr;
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

LockedConnection PulseAudioEngine::locked() {
  std::shared_ptr<PulseConnection> conn;
  {
    std::lock_guard guard(mutex_);
    conn = conn_;
  }
  return LockedConnection(std::move(conn));
}

platform::AudioFormat PulseAudioEngine::outputFormatForBus(uint32_t /*bus*/) {
  auto conn = connection(nullptr);
  if (!conn) return kUnreachableFormat;
  std::optional<DefaultSource> source;
  {
    std::lock_guard guard(mutex_);
    source = source_;
  }
  // The main-loop lock is taken without the engine's own: connecting takes them the other way.
  if (!source) source = conn->describeDefaultSource(kRequestSeconds);
  if (!source) return {};
  std::lock_guard guard(mutex_);
  source_ = source;
  if (source->name.empty()) return {};
  return {static_cast<double>(source->spec.rate), source->spec.channels};
}

void PulseAudioEngine::installTapOnBus(uint32_t /*bus*/, uint32_t bufferSize,
                                       platform::AudioFormat format, platform::TapBlock block) {
  LockedConnection conn = locked();
  tap_ = std::move(block);
  tapFormat_ = format;
  tapFrames_ = bufferSize > 0 ? bufferSize : 2048;
  if (formatChosen_) formatChosen_(format);
}

void PulseAudioEngine::removeTapOnBus(uint32_t /*bus*/) {
  // Tap callbacks run with the main-loop lock held, so once it is ours none is running and none
  // can start after the block is gone.
  LockedConnection conn = locked();
  tap_ = nullptr;
}

bool PulseAudioEngine::startAndReturnError(std::string* error) {
  std::string why;
  auto conn = connection(&why);
  if (!conn) {
    if (error) *error = why;
    return false;
  }
  DefaultSource source;
  {
    std::lock_guard guard(mutex_);
    if (source_) source = *source_;
  }

  PulseConnection::Lock lock(conn->loop());
  if (plan_.phase() != CapturePhase::Idle) return true;
  // Every stream, also after the source changes, has the tap's format: the server converts.
  const platform::AudioFormat format =
      tapFormat_.channelCount > 0
          ? tapFormat_
          : platform::AudioFormat{static_cast<double>(source.spec.rate), source.spec.channels};
  spec_ = pa_sample_spec{};
  spec_.format = PA_SAMPLE_FLOAT32NE;
  spec_.rate = static_cast<uint32_t>(format.sampleRate);
  spec_.channels = static_cast<uint8_t>(format.channelCount);
  if (!pa_sample_spec_valid(&spec_)) {
    if (error) *error = PulseFailure{"pa_sample_spec_valid", PA_ERR_INVALID}.message();
    return false;
  }
  if (source.map.channels == spec_.channels && pa_channel_map_valid(&source.map)) {
    map_ = source.map;
  } else if (!pa_channel_map_init_extend(&map_, spec_.channels, PA_CHANNEL_MAP_DEFAULT)) {
    map_ = pa_channel_map{};
  }
  capturing_ = conn.get();
  pa_mainloop_api* api = conn->api();
  if (!posting_) posting_ = api->defer_new(api, &PulseAudioEngine::onPosted, this);
  api->defer_enable(posting_, 0);
  pa_context_set_state_callback(conn->context(), &PulseAudioEngine::onContextState, this);
  handle({Kind::Start, 0, source.name});
  conn->waitFor([this] { return plan_.phase() != CapturePhase::Starting; }, kRequestSeconds);
  if (plan_.phase() == CapturePhase::Recording) return true;
  const int code = pa_context_errno(conn->context());
  if (error) {
    *error =
        PulseFailure{"pa_stream_connect_record", code != PA_OK ? code : PA_ERR_TIMEOUT}.message();
  }
  handle({Kind::Stop});
  return false;
}

void PulseAudioEngine::stop() {
  // Nothing here waits for the server: with the lock held, the engine lets go of whatever
  // connection state it has, reachable or not.
  LockedConnection conn = locked();
  if (conn) handle({Kind::Stop});
}

void PulseAudioEngine::post(CaptureInput input) {
  if (!posting_) return;
  posted_.push_back(std::move(input));
  capturing_->api()->defer_enable(posting_, 1);
}

void PulseAudioEngine::handle(const CaptureInput& input) {
  for (const CaptureCommand& command : plan_.handle(input)) carryOut(command);
}

void PulseAudioEngine::carryOut(const CaptureCommand& command) {
  switch (command.kind) {
    case CaptureCommand::Kind::OpenStream:
      openStream(command.source);
      break;
    case CaptureCommand::Kind::DropStream:
      dropStream();
      break;
    case CaptureCommand::Kind::Subscribe:
      subscribe();
      break;
    case CaptureCommand::Kind::AskDefault:
      askDefault();
      break;
    case CaptureCommand::Kind::CancelQuestion:
      cancelQuestion();
      break;
    case CaptureCommand::Kind::ArmTimer:
      armTimer(command.delay);
      break;
    case CaptureCommand::Kind::Reconnect:
      reconnect();
      break;
    case CaptureCommand::Kind::Release:
      release();
      break;
  }
}

void PulseAudioEngine::openStream(const std::string& source) {
  dropStream();
  pa_context* ctx = capturing_->context();
  const pa_channel_map* map = pa_channel_map_valid(&map_) ? &map_ : nullptr;
  PaStreamPtr stream(pa_stream_new(ctx, "voxlet capture", &spec_, map));
  if (!stream) {
    post({Kind::StreamEnded, plan_.stream()});
    return;
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
  assembler_.begin(spec_.channels, tapFrames_);
  if (pa_stream_connect_record(stream.get(), source.empty() ? nullptr : source.c_str(), &attr,
                               PA_STREAM_ADJUST_LATENCY) < 0) {
    detachCallbacks(stream.get());
    post({Kind::StreamEnded, plan_.stream()});
    return;
  }
  stream_ = std::move(stream);
}

void PulseAudioEngine::dropStream() {
  if (!stream_) return;
  pa_stream* s = stream_.get();
  detachCallbacks(s);
  if (progressOf(pa_stream_get_state(s)) != Progress::Ended) pa_stream_disconnect(s);
  stream_.reset();
}

void PulseAudioEngine::subscribe() {
  pa_context* ctx = capturing_->context();
  pa_context_set_subscribe_callback(ctx, &PulseAudioEngine::onEvent, this);
  OperationPtr op(
      pa_context_subscribe(ctx,
                           static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER |
                                                               PA_SUBSCRIPTION_MASK_SOURCE),
                           nullptr, nullptr));
}

void PulseAudioEngine::askDefault() {
  question_.reset(
      pa_context_get_server_info(capturing_->context(), &PulseAudioEngine::onServerInfo, this));
  if (!question_) post({Kind::NoAnswer, plan_.question()});
}

void PulseAudioEngine::cancelQuestion() {
  if (question_) pa_operation_cancel(question_.get());
  question_.reset();
}

void PulseAudioEngine::armTimer(std::chrono::milliseconds delay) {
  timeval tv{};
  pa_gettimeofday(&tv);
  pa_timeval_add(&tv, static_cast<pa_usec_t>(
                          std::chrono::duration_cast<std::chrono::microseconds>(delay).count()));
  pa_mainloop_api* api = capturing_->api();
  if (timer_) {
    api->time_restart(timer_, &tv);
  } else {
    timer_ = api->time_new(api, &tv, &PulseAudioEngine::onTimer, this);
  }
}

void PulseAudioEngine::reconnect() {
  PulseFailure failure;
  if (!capturing_->reconnect(&PulseAudioEngine::onContextState, this, &failure)) {
    post({Kind::ContextEnded, plan_.context()});
  }
}

void PulseAudioEngine::release() {
  pa_mainloop_api* api = capturing_->api();
  if (timer_) api->time_free(timer_);
  timer_ = nullptr;
  if (posting_) api->defer_free(posting_);
  posting_ = nullptr;
  posted_.clear();
  cancelQuestion();
  capturing_->resetCallbacks();
  dropStream();
  capturing_->signal();  // a start still waiting for its stream gives up now
}

void PulseAudioEngine::onPosted(pa_mainloop_api* api, pa_defer_event* e, void* data) {
  auto* self = static_cast<PulseAudioEngine*>(data);
  api->defer_enable(e, 0);
  // Inputs handled here may post more, and a Stop frees this event: one at a time, each taken
  // off the queue before it is handled.
  while (self->posting_ == e && !self->posted_.empty()) {
    const CaptureInput input = std::move(self->posted_.front());
    self->posted_.pop_front();
    self->handle(input);
  }
  self->capturing_->signal();
}

void PulseAudioEngine::onStreamState(pa_stream* s, void* data) {
  auto* self = static_cast<PulseAudioEngine*>(data);
  if (s != self->stream_.get()) return;
  switch (progressOf(pa_stream_get_state(s))) {
    case Progress::Pending:
      break;
    case Progress::Ready:
      self->post({Kind::StreamReady, self->plan_.stream()});
      break;
    case Progress::Ended:
      self->post({Kind::StreamEnded, self->plan_.stream()});
      break;
  }
}

// The server moved the stream to another source (the default, usually): it records on.
void PulseAudioEngine::onMoved(pa_stream* s, void* data) {
  auto* self = static_cast<PulseAudioEngine*>(data);
  const char* name = pa_stream_get_device_name(s);
  if (s == self->stream_.get() && name) {
    self->post({Kind::StreamMoved, self->plan_.stream(), name});
  }
}

void PulseAudioEngine::onContextState(pa_context* c, void* data) {
  auto* self = static_cast<PulseAudioEngine*>(data);
  self->capturing_->signal();
  if (c != self->capturing_->context()) return;
  switch (progressOf(pa_context_get_state(c))) {
    case Progress::Pending:
      break;
    case Progress::Ready:
      self->post({Kind::ContextReady, self->plan_.context()});
      break;
    case Progress::Ended:
      self->post({Kind::ContextEnded, self->plan_.context()});
      break;
  }
}

void PulseAudioEngine::onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t,
                               void* data) {
  auto* self = static_cast<PulseAudioEngine*>(data);
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  // The default source is a server property; a source that comes or goes may change it. A
  // source's own changes (volume, suspension) do not.
  if (facility == PA_SUBSCRIPTION_EVENT_SERVER ||
      (facility == PA_SUBSCRIPTION_EVENT_SOURCE && kind != PA_SUBSCRIPTION_EVENT_CHANGE)) {
    self->post({Kind::SourcesChanged, self->plan_.context()});
  }
}

void PulseAudioEngine::onServerInfo(pa_context*, const pa_server_info* info, void* data) {
  auto* self = static_cast<PulseAudioEngine*>(data);
  if (!info) {
    self->post({Kind::NoAnswer, self->plan_.question()});
    return;
  }
  self->post({Kind::DefaultSource, self->plan_.question(),
              info->default_source_name ? info->default_source_name : ""});
}

void PulseAudioEngine::onTimer(pa_mainloop_api*, pa_time_event*, const timeval*, void* data) {
  auto* self = static_cast<PulseAudioEngine*>(data);
  self->post({Kind::TimerDue, self->plan_.timer()});
}

void PulseAudioEngine::onRead(pa_stream* s, size_t, void* self) {
  static_cast<PulseAudioEngine*>(self)->read(s);
}

// Main-loop thread, lock held: the real-time path. It allocates nothing of its own.
void PulseAudioEngine::read(pa_stream* s) {
  while (pa_stream_readable_size(s) > 0) {
    const void* data = nullptr;
    size_t nbytes = 0;
    if (pa_stream_peek(s, &data, &nbytes) < 0) return;
    if (nbytes == 0) break;
    // A hole (data is null) is skipped: there is no audio for it.
    if (data) assembler_.append(static_cast<const uint8_t*>(data), nbytes, deliver_);
    pa_stream_drop(s);
  }
}

}  // namespace voxlet::linux_backend
