// The connection to the sound server's client library (PulseAudio, or PipeWire's pulse server):
// a threaded main loop and a context on it, with owning handles for the library's objects.
#pragma once

#include <pulse/pulseaudio.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "c_handle.h"
#include "platform/platform.h"

namespace voxlet::linux_backend {

using MainloopPtr = CHandle<pa_threaded_mainloop, pa_threaded_mainloop_free>;
using ContextPtr = CHandle<pa_context, pa_context_unref>;
using PaStreamPtr = CHandle<pa_stream, pa_stream_unref>;
using OperationPtr = CHandle<pa_operation, pa_operation_unref>;

// A failed call to the library: which call, and the library's error code.
struct PulseFailure {
  const char* call = "";
  int code = PA_OK;
  // The library's description of the code, as reported to the parent.
  std::string message() const { return pa_strerror(code); }
};

// Where a context or a stream is on its way: still being set up, ready, or ended for good.
enum class Progress { Pending, Ready, Ended };
Progress progressOf(pa_context_state_t state);
Progress progressOf(pa_stream_state_t state);

// Callbacks of a stream or a context that no longer reach their owner.
void detachCallbacks(pa_stream* stream);
void detachCallbacks(pa_context* context);

// The server's default source: its name, sample format and channel map. The name is empty when
// the server has no default source (or cannot describe it).
struct DefaultSource {
  std::string name;
  pa_sample_spec spec{};
  pa_channel_map map{};
};

// A ready connection to the sound server with its main-loop thread running.
class PulseConnection {
 public:
  // Connects to the default server without spawning one; gives up on a server that has not
  // answered within kConnectSeconds. On failure returns null and fills *failure.
  static std::shared_ptr<PulseConnection> open(PulseFailure* failure);
  static constexpr double kConnectSeconds = 2.0;
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  pa_threaded_mainloop* loop() const { return loop_.get(); }
  pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(loop_.get()); }
  pa_context* context() const { return context_.get(); }
  // Wakes whoever waits in waitFor().
  void signal() const { pa_threaded_mainloop_signal(loop_.get(), 0); }

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

  // Without the lock: asks the server for its default source; nothing when a request fails or
  // goes unanswered for `seconds`.
  std::optional<DefaultSource> describeDefaultSource(double seconds);

  // With the lock held: lets the current context go and starts connecting a new one on the same
  // main loop; its state changes go to onState. On a failure at once returns false and fills
  // *failure.
  bool reconnect(pa_context_notify_cb_t onState, void* userdata, PulseFailure* failure);
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

// A connection kept alive, with its main-loop lock held, for as long as this lives. Holds
// nothing when there is no connection.
class LockedConnection {
 public:
  explicit LockedConnection(std::shared_ptr<PulseConnection> conn)
      : conn_(std::move(conn)), lock_(conn_ ? conn_->loop() : nullptr) {}
  explicit operator bool() const { return conn_ != nullptr; }
  PulseConnection* operator->() const { return conn_.get(); }

 private:
  std::shared_ptr<PulseConnection> conn_;
  PulseConnection::Lock lock_;
};

// The process's one connection, opened on first use and then shared. A server that did not
// answer in time is not asked again: a hung server would hold every later step just as long, so
// later callers get the same failure at once.
class SharedConnection {
 public:
  // The connection, or null with the server's error code and text.
  std::shared_ptr<PulseConnection> get(int* code, std::string* error);

 private:
  std::mutex mutex_;
  std::shared_ptr<PulseConnection> connection_;
  PulseFailure unanswered_;  // the time-out, once it happened
};

// Microphone authorization from the server's answer: denied when it refuses this client for lack
// of permission, else authorized.
platform::MicrophoneAuthorization microphoneStatusFor(int connectCode);

}  // namespace voxlet::linux_backend
