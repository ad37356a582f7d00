// Audio capture through the sound server's client library (PulseAudio, or PipeWire's pulse
// server): a threaded main loop, a context, and a record stream on the default source.
#pragma once

#include <pulse/pulseaudio.h>

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
using PaStreamPtr = std::unique_ptr<pa_stream, StreamDeleter>;

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

 private:
  PulseConnection() = default;

  MainloopPtr loop_;
  ContextPtr context_;
  bool running_ = false;
};

using ConnectionSource = std::function<std::shared_ptr<PulseConnection>(std::string* error)>;

// The engine and its input node: the default source of the server.
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
  static void onState(pa_stream* s, void* self);
  void read(pa_stream* s);
  void deinterleave(const float* frames, size_t count);

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
};

// Microphone authorization from the server's answer: denied (2) when it refuses this client for
// lack of permission, else authorized (3).
int microphoneStatusFor(int connectCode);

}  // namespace voxlet::linux_backend
