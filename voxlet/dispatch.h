// Serial executors: the main queue, served by the main thread's run loop, and serial queues with
// a thread of their own. Work runs one item at a time, in order of due time and, among items due
// at the same time, in posting order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace voxlet {

class Executor {
 public:
  using Clock = std::chrono::steady_clock;
  using Work = std::function<void()>;

  // Runs the work after everything posted before it.
  void async(Work work);
  // Runs the work no earlier than the deadline.
  void asyncAfter(Clock::time_point deadline, Work work);
  // Runs posted work on the calling thread until quit() is called.
  void serve();
  // serve() returns after the item it is running; items not yet run are released without
  // running, with no lock held, and so is work posted afterwards.
  void quit();

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<Clock::time_point, Work> items_;  // equal keys keep their insertion order
  bool quit_ = false;
};

// A serial queue served by a detached thread of its own, named after the label.
//
// At shutdown (shutDown() or destruction, from any thread, the queue's own included) the item
// running finishes; the items not yet run, delayed ones too, are released on the queue's thread
// without running, and work posted afterwards is released at once. Nothing waits for the thread.
class SerialQueue {
 public:
  explicit SerialQueue(const std::string& label);
  ~SerialQueue() { shutDown(); }
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(Executor::Work work) { executor_->async(std::move(work)); }
  void asyncAfter(Executor::Clock::time_point deadline, Executor::Work work) {
    executor_->asyncAfter(deadline, std::move(work));
  }
  void shutDown() { executor_->quit(); }
  // False when the system refused the thread: posted work is then released without running.
  bool serving() const { return serving_; }

 private:
  std::shared_ptr<Executor> executor_;
  bool serving_ = false;
};

// Starts a detached thread running body, with SIGTERM blocked; false if the system refuses a
// thread.
bool startDetached(std::function<void()> body, const std::string& name = {});

// The main queue: work posted to it runs on the main thread once runMainLoop() has been entered.
Executor& mainQueue();
[[noreturn]] void runMainLoop();

}  // namespace voxlet
