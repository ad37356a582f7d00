// Threads of the backend leave process signals to the program's own threads.
#pragma once

#include <csignal>

namespace voxlet::linux_backend {

// Blocks SIGTERM in the calling thread and in threads it starts afterwards.
// Returns the previous mask.
sigset_t blockTerminationSignals();
void restoreSignals(const sigset_t& previous);

}  // namespace voxlet::linux_backend
