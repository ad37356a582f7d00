#include "dispatch.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace voxlet {

// Notifying under the lock: once it is released, an item may end the executor's life.
void Executor::async(Work work) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (quit_) {
    lock.unlock();
    return;  // `work` is released here, with no lock held
  }
  // Read the clock under the lock so that keys grow in posting order.
  items_.emplace(Clock::now(), std::move(work));
  wake_.notify_one();
}

void Executor::asyncAfter(Clock::time_point deadline, Work work) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (quit_) {
    lock.unlock();
    return;
  }
  items_.emplace(deadline, std::move(work));
  wake_.notify_one();
}

void Executor::serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!quit_) {
    if (items_.empty()) {
      wake_.wait(lock);
      continue;
    }
    auto first = items_.begin();
    if (first->first > Clock::now()) {
      wake_.wait_until(lock, first->first);
      continue;
    }
    Work work = std::move(first->second);
    items_.erase(first);
    lock.unlock();
    work();
    work = nullptr;  // release what the item held before taking the lock again
    lock.lock();
  }
  // Released outside the lock: an item may hold the last reference to the executor's owner.
  std::multimap<Clock::time_point, Work> left;
  left.swap(items_);
  lock.unlock();
}

void Executor::quit() {
  std::lock_guard<std::mutex> lock(mutex_);
  quit_ = true;
  wake_.notify_one();
}

SerialQueue::SerialQueue(const std::string& label) : executor_(std::make_shared<Executor>()) {
  std::shared_ptr<Executor> executor = executor_;
  serving_ = startDetached([executor] { executor->serve(); }, label);
  if (!serving_) executor_->quit();
}

namespace {

struct ThreadStart {
  std::function<void()> body;
  std::string name;
};

void* threadBody(void* arg) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
  // Thread names are limited to 15 bytes; a longer one is simply not set.
  if (!start->name.empty() && start->name.size() < 16) {
    pthread_setname_np(pthread_self(), start->name.c_str());
  }
  start->body();
  return nullptr;
}

}  // namespace

bool startDetached(std::function<void()> body, const std::string& name) {
  auto* start = new ThreadStart{std::move(body), name};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  // The new thread starts with SIGTERM blocked, so that the signal goes only to the thread that
  // waits for it (or to the main thread when that one could not start).
  sigset_t term, previous;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &previous);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, threadBody, start);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    return false;
  }
  return true;
}

Executor& mainQueue() {
  // Never destroyed: the process ends while other threads may still post to it.
  static Executor* queue = new Executor;
  return *queue;
}

void runMainLoop() {
  mainQueue().serve();
  for (;;) ::pause();  // the main queue is never told to quit
}

}  // namespace voxlet
