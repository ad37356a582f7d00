#include "platform/serial_worker.h"

#include <new>
#include <system_error>

namespace vidlet::platform {

Status SerialWorker::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable()) return kStatusOk;
  try {
    thread_ = std::thread([this] { loop(); });
  } catch (const std::system_error&) {
    return kErrAllocation;
  }
  running_ = true;
  return kStatusOk;
}

Status SerialWorker::post(Job job) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return queue_.size() < depth_ || !running_; });
  if (!running_) return kErrInvalidated;
  try {
    queue_.push_back(std::move(job));
  } catch (const std::bad_alloc&) {
    return kErrAllocation;
  }
  changed_.notify_all();
  return kStatusOk;
}

Status SerialWorker::runAndWait(Job job) {
  // Guarded by mutex_: set by the job, on the worker's thread.
  bool called = false, ran = false;
  const Status posted = post([&, job = std::move(job)](bool run) {
    job(run);
    std::lock_guard<std::mutex> lock(mutex_);
    called = true;
    ran = run;
    changed_.notify_all();
  });
  if (posted != kStatusOk) return posted;
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return called; });
  return ran ? kStatusOk : kErrInvalidated;
}

void SerialWorker::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
  }
  changed_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void SerialWorker::loop() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return !queue_.empty() || !running_; });
      if (!running_) break;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    changed_.notify_all();
    job(true);
  }
  // Stopped: what still waits is told so, without the lock held.
  std::deque<Job> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left.swap(queue_);
  }
  changed_.notify_all();
  for (Job& job : left) job(false);
}

}  // namespace vidlet::platform
