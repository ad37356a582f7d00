// Audio capture through the sound server's client library (PulseAudio, or PipeWire's pulse
// server): a threaded main loop, a context, and a record stream on the default source. Capture
// follows the default source and survives the server going away and coming back.
#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace voxlet::linux_backend {

struct MainloopDeleter {
  void operator()(pa_threaded_mainloop* m) const { pa_threaded_mainloop_free(m); }
};
struct ContextDeleter {
  void operator()(pa_context* c) const { pa_context_unref(c); }
};
struct StreamDeleter {
  void operator()(pa_stream* s) const { pa_stream_unref(s); }
};
using MainloopPtr = std::unique_ptr<pa_threaded_mainloop, MainloopDeleter>;
using ContextPtr = std::unique_ptr<pa_context, ContextDeleter>;
struct OperationDeleter {
  void operator()(pa_operation* o) const { pa_operation_unref(o); }
};
using PaStreamPtr = std::unique_ptr<pa_stream, StreamDeleter>;
using OperationPtr = std::unique_ptr<pa_operation, OperationDeleter>;

// A ready connection to the sound server with its main-loop thread running.
class PulseConnection {
 public:
  // Connects to the default server without spawning one. On failure returns null with the
  // server's error code and text.
  static std::shared_ptr<PulseConnection> open(int* code, std::string* error);
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  pa_threaded_mainloop* loop() const { return loop_.get(); }
  pa_context* context() const { return context_.get(); }

  // Holds the main-loop lock, unless the caller is the main-loop thread (which holds it already
  // while it runs callbacks).
  class Lock {
   public:
    explicit Lock(pa_threaded_mainloop* loop);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
    bool held_;
  };

  // With the lock held: waits on the main loop until done() is true or `seconds` pass.
  // Returns done().
  bool waitFor(const std::function<bool()>& done, double seconds);

  // With the lock held: lets the current context go and starts connecting a new one on the same
  // main loop; its state changes go to onState. False when the attempt failed at once (onState
  // may have been told already).
  bool reconnect(pa_context_notify_cb_t onState, void* userdata);
  // With the lock held: state changes only wake waitFor() again, and no events are delivered.
  void resetCallbacks();

 private:
  PulseConnection() = default;
  // A new, unconnected context on this main loop.
  ContextPtr newContext() const;

  MainloopPtr loop_;
  ContextPtr context_;
  bool running_ = false;
};

using ConnectionSource = std::function<std::shared_ptr<PulseConnection>(std::string* error)>;

// Wait before the next try to reach the server or open a stream after `failures` tries in a row
// have failed: 100 ms, doubling up to 1 s.
std::chrono::milliseconds retryDelay(int failures);

// The engine and its input node: the default source of the server.
//
// Once started, the engine records from whatever the server's default source is: when that
// source goes away or another becomes the default, the stream moves to the new default; when the
// connection is lost, the engine connects again, with retryDelay() between tries, and records
// from the default source once a server answers. The tap keeps its format throughout (the server
// converts every source to it) and simply receives no buffers while nothing can be recorded.
// All of this runs on the main-loop thread: callbacks only note what happened and schedule
// follow(), which decides.
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

  static void onRead(pa_stream* s, size_t nbytes, void* self);
  static void onStreamState(pa_stream* s, void* self);
  static void onMoved(pa_stream* s, void* self);
  static void onContextState(pa_context* c, void* self);
  static void onEvent(pa_context* c, pa_subscription_event_type_t type, uint32_t index, void* self);
  static void onServerInfo(pa_context* c, const pa_server_info* info, void* self);
  static void onTimer(pa_mainloop_api* api, pa_time_event* e, const timeval* tv, void* self);
  void read(pa_stream* s);
  void deinterleave(const float* frames, size_t count);

  // Main-loop lock held.
  // Creates the record stream on `source` (empty: the server's choice) and starts connecting it.
  bool openStream(const std::string& source, std::string* error);
  void dropStream();
  // Subscribes the current context to default-source and source events.
  void watch();
  // Runs follow() on the main-loop thread after `delay`, or earlier if it is already due then.
  void schedule(std::chrono::milliseconds delay);
  // Brings capture back in line with the server: reconnects a lost context, asks which source is
  // the default after an event that may have changed it, and records from that source.
  void follow();

  std::shared_ptr<PulseConnection> connection(std::string* error);

  const ConnectionSource connect_;
  const std::function<void(platform::AudioFormat)> formatChosen_;

  std::mutex mutex_;  // the connection and the source description
  std::shared_ptr<PulseConnection> conn_;
  bool sourceKnown_ = false;
  std::string sourceName_;
  pa_channel_map sourceMap_{};
  platform::AudioFormat sourceFormat_;

  // Guarded by the main-loop lock once a connection exists.
  platform::TapBlock tap_;
  platform::AudioFormat tapFormat_;
  uint32_t tapFrames_ = 2048;
  PaStreamPtr stream_;
  std::vector<std::vector<float>> pending_;  // per channel, tapFrames_ each
  uint32_t filled_ = 0;
  std::vector<uint8_t> carry_;  // bytes of an incomplete frame

  // Following the default source; guarded by the main-loop lock.
  PulseConnection* live_ = nullptr;  // conn_ while capturing
  bool capturing_ = false;           // started and not stopped
  pa_sample_spec spec_{};            // of every stream: the tap's format in 32-bit float
  pa_channel_map map_{};
  std::string streamSource_;  // the source stream_ was opened on
  int failures_ = 0;          // tries in a row that did not end with a recording stream
  pa_time_event* timer_ = nullptr;
  bool timerArmed_ = false;
  pa_usec_t timerAt_ = 0;          // wall-clock microseconds
  bool watching_ = false;          // the current context reports events
  bool defaultMayChange_ = false;  // ask the server for its default source
  OperationPtr serverInfo_;        // that question, while it is open
  bool defaultKnown_ = false;      // its answer arrived and is not acted on yet
  bool defaultAnswered_ = false;   // the answer named the default (or no default) source
  std::string defaultSource_;
};

// Microphone authorization from the server's answer: denied when it refuses this client for lack
// of permission, else authorized.
platform::MicrophoneAuthorization microphoneStatusFor(int connectCode);

}  // namespace voxlet::linux_backend
