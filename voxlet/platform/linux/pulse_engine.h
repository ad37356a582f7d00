// Audio capture through the sound server: a record stream on the default source, which follows
// the default source and survives the server going away and coming back.
#pragma once

#include <pulse/pulseaudio.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "buffer_assembler.h"
#include "capture_plan.h"
#include "platform/platform.h"
#include "pulse_connection.h"

namespace voxlet::linux_backend {

using ConnectionSource = std::function<std::shared_ptr<PulseConnection>(std::string* error)>;

// The engine and its input node: the default source of the server.
//
// Once started, the engine records from whatever the server's default source is: when that
// source goes away or another becomes the default, the stream moves to the new default; when the
// connection is lost, the engine connects again, waiting as Backoff says between tries, and
// records from the default source once a server answers. The tap keeps its format throughout (the
// server converts every source to it) and simply receives no buffers while nothing can be
// recorded. All of this runs on the connection's main-loop thread: the library's callbacks only
// post what they saw, and CapturePlan decides what follows, one input at a time.
class PulseAudioEngine : public platform::AudioEngine, private platform::InputNode {
 public:
  // connect gives the server connection (shared, opened on first use); formatChosen learns the
  // format of the tap.
  PulseAudioEngine(ConnectionSource connect,
                   std::function<void(platform::AudioFormat)> formatChosen);
  ~PulseAudioEngine() override;

  platform::InputNode& inputNode() override { return *this; }
  void prepare() override {}
  bool startAndReturnError(std::string* error) override;
  void stop() override;

 private:
  platform::AudioFormat outputFormatForBus(uint32_t bus) override;
  void installTapOnBus(uint32_t bus, uint32_t bufferSize, platform::AudioFormat format,
                       platform::TapBlock block) override;
  void removeTapOnBus(uint32_t bus) override;

  // The library's callbacks, on the main-loop thread.
  static void onRead(pa_stream* s, size_t nbytes, void* self);
  static void onStreamState(pa_stream* s, void* self);
  static void onMoved(pa_stream* s, void* self);
  static void onContextState(pa_context* c, void* self);
  static void onEvent(pa_context* c, pa_subscription_event_type_t type, uint32_t index, void* self);
  static void onServerInfo(pa_context* c, const pa_server_info* info, void* self);
  static void onTimer(pa_mainloop_api* api, pa_time_event* e, const timeval* tv, void* self);
  static void onPosted(pa_mainloop_api* api, pa_defer_event* e, void* self);

  // Main-loop lock held.
  // Queues an input for the main-loop thread.
  void post(CaptureInput input);
  // Feeds an input to the plan and carries out its commands.
  void handle(const CaptureInput& input);
  void carryOut(const CaptureCommand& command);
  void openStream(const std::string& source);
  void dropStream();
  void subscribe();
  void askDefault();
  void cancelQuestion();
  void armTimer(std::chrono::milliseconds delay);
  void reconnect();
  void release();
  void read(pa_stream* s);

  // The connection, opened on first use.
  std::shared_ptr<PulseConnection> connection(std::string* error);
  // The connection (if one was opened) with its main-loop lock held.
  LockedConnection locked();

  const ConnectionSource connect_;
  const std::function<void(platform::AudioFormat)> formatChosen_;
  const BufferAssembler::Deliver deliver_;  // to the tap, if one is installed

  std::mutex mutex_;  // the connection and the source description
  std::shared_ptr<PulseConnection> conn_;
  std::optional<DefaultSource> source_;

  // Guarded by the main-loop lock once a connection exists.
  platform::TapBlock tap_;
  platform::AudioFormat tapFormat_;
  uint32_t tapFrames_ = 2048;
  BufferAssembler assembler_;
  PulseConnection* capturing_ = nullptr;  // the connection capture runs on, from its start
  pa_sample_spec spec_{};                 // of every stream: the tap's format in 32-bit float
  pa_channel_map map_{};
  CapturePlan plan_;
  std::deque<CaptureInput> posted_;
  pa_defer_event* posting_ = nullptr;  // runs the posted inputs
  PaStreamPtr stream_;
  OperationPtr question_;
  pa_time_event* timer_ = nullptr;
};

}  // namespace voxlet::linux_backend
