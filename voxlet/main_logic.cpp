// Top level of voxlet: process-wide state, argument scan, probe report, recogniser creation and
// the start-up sequence of dictation mode.
#include <signal.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "control.h"
#include "dispatch.h"
#include "events.h"
#include "session.h"
#include "state.h"
#include "voxlet.h"

namespace voxlet {

std::string localeId;
bool probe = false;

namespace {

platform::Platform* hostPlatform = nullptr;

std::mutex sessionLock;  // guards session only; never held with outLock
std::shared_ptr<Session> session;

sigset_t terminationSet() {
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  return term;
}

void scanArguments(int argc, char** argv) {
  if (argc < 2) return;
  int position = 1;
  while (position < argc) {
    const std::string entry = argv[position];
    if (entry == "--locale" && position + 1 < argc) {
      localeId = argv[position + 1];
      position += 2;
      continue;
    }
    if (entry == "--probe") probe = true;
    ++position;
  }
}

[[noreturn]] void probeReport() {
  const int speech = platform::rawValue(host().speechAuthorizationStatus());
  const int mic = platform::rawValue(host().microphoneAuthorizationStatus());
  const bool recognizer = host().recognizerForLocale(localeId) != nullptr;
  emitAndExit({Event{{"t", "probe"}, {"speech", speech}, {"mic", mic}, {"recognizer", recognizer}}},
              0);
}

RecognizerPtr makeRecognizer() {
  RecognizerPtr recognizer = host().recognizerForLocale(localeId);
  if (!recognizer) recognizer = host().defaultRecognizer();  // silently another language
  if (!recognizer) fail("unavailable", "no recognizer for " + localeId);
  recognizer->preload();
  return recognizer;
}

// SIGTERM is taken by a thread that does nothing but wait for signals: the handler then never
// interrupts work in progress, and runs at once also where signal delivery is deferred to the
// next library call (as under ThreadSanitizer). Every other voxlet thread blocks SIGTERM.
// SIGTERM has been held back since holdTermination(); one that came meanwhile is taken now.
void installTerminateHandler() {
  struct sigaction action = {};
  action.sa_handler = onTerminate;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  const sigset_t term = terminationSet();
  const bool waiting = startDetached(
      [term] {
        pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
        for (;;) ::pause();
      },
      "voxlet-signal");
  // Without that thread the main thread takes the signal itself.
  if (!waiting) pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
}

[[noreturn]] void startUp(const RecognizerPtr& recognizer) {
  storeSession(nullptr);
  host().requestSpeechAuthorization([recognizer](platform::SpeechAuthorization status) {
    onSpeechAuthorization(recognizer, status);
  });
  startDetached(readControl, "voxlet-control");
  installTerminateHandler();
  runMainLoop();
}

}  // namespace

platform::Platform& host() {
  return *hostPlatform;
}
void setHost(platform::Platform& platform) {
  hostPlatform = &platform;
}

void storeSession(std::shared_ptr<Session> value) {
  std::lock_guard<std::mutex> lock(sessionLock);
  session = std::move(value);
}

std::shared_ptr<Session> loadSession() {
  std::lock_guard<std::mutex> lock(sessionLock);
  return session;
}

void holdTermination() {
  const sigset_t term = terminationSet();
  pthread_sigmask(SIG_BLOCK, &term, nullptr);
}

void run(int argc, char** argv, platform::Platform& platform) {
  setHost(platform);
  localeId = host().currentLocaleIdentifier();
  probe = false;
  scanArguments(argc, argv);
  if (probe) {
    // Probe mode installs no handler: SIGTERM keeps its default action.
    const sigset_t term = terminationSet();
    pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
    probeReport();
  }
  startUp(makeRecognizer());
}

}  // namespace voxlet
