// One thread that runs jobs one at a time, in the order they were posted, with a bounded number
// waiting.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/video.h"

namespace vidlet::platform {

class SerialWorker {
 public:
  // Called once on the worker's thread: with true to do its work, or with false when the worker
  // stops before reaching it.
  using Job = std::function<void(bool run)>;

  explicit SerialWorker(size_t depth) : depth_(depth) {}
  ~SerialWorker() { stop(); }
  SerialWorker(const SerialWorker&) = delete;
  SerialWorker& operator=(const SerialWorker&) = delete;

  // Starts the thread; kErrAllocation when there is none to be had.
  Status start();
  // Queues job, waiting while depth jobs wait already. kErrInvalidated (the job is never called)
  // once the worker has stopped or before it starts; kErrAllocation without memory for it.
  Status post(Job job);
  // Posts job and waits until it has been called: kStatusOk when it ran.
  Status runAndWait(Job job);
  // The running job finishes, every waiting job is called with false, and the thread ends. Jobs
  // posted afterwards are refused.
  void stop();

 private:
  void loop();

  const size_t depth_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> queue_;
  bool running_ = false;
  std::thread thread_;
};

}  // namespace vidlet::platform
