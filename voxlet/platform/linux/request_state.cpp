#include "request_state.h"

namespace voxlet::linux_backend {

void RequestState::setHandler(platform::ResultHandler handler) {
  std::unique_lock lock(mutex_);
  std::swap(handler_, handler);
  lock.unlock();
  // The replaced handler, if any, is released here, with no lock held.
}

void RequestState::deliver(std::optional<platform::RecognitionResult> result,
                           std::optional<platform::RecognitionError> error, bool last) {
  {
    platform::ResultHandler handler;
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
      closed_ = last;
      if (last) {
        handler = std::move(handler_);
        handler_ = nullptr;
      } else {
        handler = handler_;
      }
      delivering_ = std::this_thread::get_id();
    }
    if (handler) handler(std::move(result), std::move(error));
  }
  std::lock_guard lock(mutex_);
  delivering_ = {};
  delivered_.notify_all();
}

void RequestState::close() {
  platform::ResultHandler released;
  {
    std::unique_lock lock(mutex_);
    closed_ = true;
    released = std::move(handler_);
    handler_ = nullptr;
    if (delivering_ != std::this_thread::get_id()) {
      delivered_.wait(lock, [this] { return delivering_ == std::thread::id(); });
    }
  }
}

bool RequestState::isClosed() {
  std::lock_guard lock(mutex_);
  return closed_;
}

}  // namespace voxlet::linux_backend
