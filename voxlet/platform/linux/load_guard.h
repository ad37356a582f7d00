// The sphinx libraries end the process with exit(1) and nothing written when a model file is
// damaged in some ways, and crash on others. While a LoadGuard lives on a thread, either of these
// on that thread ends the process with the "unavailable" error line and status 1 instead: the model
// cannot load, and the parent reads that as it would any other unloadable model. The libraries'
// log is switched off by the first guard: this process never writes standard error.
#pragma once

namespace voxlet::linux_backend {

class LoadGuard {
 public:
  LoadGuard();
  ~LoadGuard();
  LoadGuard(const LoadGuard&) = delete;
  LoadGuard& operator=(const LoadGuard&) = delete;
};

}  // namespace voxlet::linux_backend
