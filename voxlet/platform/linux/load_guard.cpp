#include "load_guard.h"

#include <signal.h>
#include <sphinxbase/err.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "events.h"

namespace voxlet::linux_backend {

namespace {

constexpr std::array<int, 5> kCrashSignals{SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// Set while a guard lives on this thread.
thread_local bool loadingHere = false;

std::mutex installMutex;  // guards the two below
int liveGuards = 0;
std::array<struct sigaction, kCrashSignals.size()> previousActions{};

// The error line, made before any guard is needed: a crashed thread must not allocate.
std::array<char, 128> preparedLine{};
size_t preparedLength = 0;

Event unavailableEvent() {
  return Event{{"t", "error"}, {"code", "unavailable"}, {"msg", "recognizer not available"}};
}

void prepareLine() {
  static std::once_flag once;
  std::call_once(once, [] {
    const std::string line = eventLine(unavailableEvent()).value_or("");
    preparedLength = std::min(line.size(), preparedLine.size());
    std::memcpy(preparedLine.data(), line.data(), preparedLength);
  });
}

// A crash in the libraries while this thread loads: the line, written with write(2) alone, and
// status 1. A crash anywhere else goes on to whatever handled the signal before the guard (a
// fault then happens again as the faulting instruction runs again; abort() raises once more).
void onCrash(int sig) {
  if (loadingHere) {
    size_t done = 0;
    while (done < preparedLength) {
      const ssize_t n = ::write(STDOUT_FILENO, preparedLine.data() + done, preparedLength - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::_exit(1);
  }
  for (size_t i = 0; i < kCrashSignals.size(); ++i) {
    if (kCrashSignals[i] == sig) ::sigaction(sig, &previousActions[i], nullptr);
  }
}

// The libraries' log: nothing is written; a fatal error while this thread loads is the
// "unavailable" error. Elsewhere the libraries go on to exit(1) as before.
void onSphinxMessage(void*, err_lvl_t level, const char*, ...) {
  if (level == ERR_FATAL && loadingHere) emitAndExit({unavailableEvent()}, 1);
}

// Sends the libraries' log nowhere and their fatal errors to the guard.
void routeSphinxLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    err_set_logfp(nullptr);  // also where the libraries print their settings
    err_set_callback(onSphinxMessage, nullptr);
  });
}

}  // namespace

LoadGuard::LoadGuard() {
  routeSphinxLog();
  prepareLine();
  {
    std::lock_guard lock(installMutex);
    if (liveGuards++ == 0) {
      struct sigaction action {};
      action.sa_handler = onCrash;
      sigemptyset(&action.sa_mask);
      for (size_t i = 0; i < kCrashSignals.size(); ++i) {
        ::sigaction(kCrashSignals[i], &action, &previousActions[i]);
      }
    }
  }
  loadingHere = true;
}

LoadGuard::~LoadGuard() {
  loadingHere = false;
  std::lock_guard lock(installMutex);
  if (--liveGuards == 0) {
    for (size_t i = 0; i < kCrashSignals.size(); ++i) {
      ::sigaction(kCrashSignals[i], &previousActions[i], nullptr);
    }
  }
}

}  // namespace voxlet::linux_backend
