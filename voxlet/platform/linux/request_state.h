// What the recogniser's thread shares with the threads that use a request: the request's options,
// whether its audio has ended, and the delivery of its results to the task's handler.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/platform.h"

namespace voxlet::linux_backend {

class RequestState {
 public:
  explicit RequestState(std::function<double()> sampleRate) : sampleRate_(std::move(sampleRate)) {}

  // The capture rate of the request's audio, asked when its first buffer is decoded.
  double sampleRate() const { return sampleRate_ ? sampleRate_() : 0.0; }

  std::atomic<bool> partials{false};
  std::atomic<bool> punctuation{false};  // closing results end with "." or "?"
  std::atomic<bool> audioEnded{false};   // endAudio was called

  void setHandler(platform::ResultHandler handler);
  // Hands one result or error to the handler unless the request is closed; `last` closes it and
  // releases the handler (and whatever it holds). The handler runs with no lock held.
  void deliver(std::optional<platform::RecognitionResult> result,
               std::optional<platform::RecognitionError> error, bool last);
  // No result starts after this returns, and the one under way (unless this is called from
  // within it) has finished. The handler is released.
  void close();
  bool isClosed();

 private:
  const std::function<double()> sampleRate_;
  std::mutex mutex_;
  std::condition_variable delivered_;
  platform::ResultHandler handler_;
  bool closed_ = false;         // the last result went out, or the task was cancelled
  std::thread::id delivering_;  // the thread running the handler, if any
};

}  // namespace voxlet::linux_backend
