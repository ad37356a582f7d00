// The sphinx libraries end the process with exit(1) and nothing written when a model file is
// damaged in some ways, and crash on others. While a LoadGuard lives on a thread, either of these
// on that thread ends the process with the "unavailable" error line and status 1 instead: the model
// cannot load, and the parent reads that as it would any other unloadable model.
#pragma once

namespace voxlet::linux_backend {

class LoadGuard {
 public:
  LoadGuard();
  ~LoadGuard();
  LoadGuard(const LoadGuard&) = delete;
  LoadGuard& operator=(const LoadGuard&) = delete;
};

// Sends the sphinx libraries' log nowhere (this process never writes standard error) and routes
// their fatal errors to the guard. Called before any model loads; the guard calls it itself.
void routeSphinxLog();

}  // namespace voxlet::linux_backend
