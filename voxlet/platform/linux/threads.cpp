#include "threads.h"

#include <pthread.h>

namespace voxlet::linux_backend {

sigset_t blockTerminationSignals() {
  sigset_t block, previous;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &previous);
  return previous;
}

void restoreSignals(const sigset_t& previous) {
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace voxlet::linux_backend
