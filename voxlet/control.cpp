#include "control.h"

#include <unistd.h>

#include <string>

#include "control_input.h"
#include "dispatch.h"
#include "events.h"
#include "session.h"
#include "state.h"

namespace voxlet {

void onSpeechAuthorization(const RecognizerPtr& recognizer, platform::SpeechAuthorization status) {
  mainQueue().async([recognizer, status] {
    if (status == platform::SpeechAuthorization::Authorized) {
      askMicThenBegin(recognizer);
    } else {
      fail("speech_denied", "speech recognition not authorized (" +
                                std::to_string(platform::rawValue(status)) + ")");
    }
  });
}

void askMicThenBegin(const RecognizerPtr& recognizer) {
  using platform::MicrophoneAuthorization;
  const MicrophoneAuthorization status = host().microphoneAuthorizationStatus();
  if (status == MicrophoneAuthorization::Authorized) {
    begin(recognizer);
  } else if (status == MicrophoneAuthorization::NotDetermined) {  // the platform asks the user
    host().requestMicrophoneAccess(
        [recognizer](bool granted) { onMicAccess(recognizer, granted); });
  } else {
    fail("mic_denied", "microphone access denied");
  }
}

void onMicAccess(const RecognizerPtr& recognizer, bool granted) {
  mainQueue().async([recognizer, granted] {
    if (granted) {
      begin(recognizer);
    } else {
      fail("mic_denied", "microphone access denied");
    }
  });
}

void begin(const RecognizerPtr& recognizer) {
  if (!recognizer->isAvailable()) fail("unavailable", "recognizer not available");
  auto created = std::make_shared<Session>(recognizer);
  // Stored before start() so that a stop can already find it while start() runs.
  storeSession(created);
  created->start();
}

void readControl() {
  ControlLineReader input(STDIN_FILENO);
  while (std::optional<std::string> line = input.next()) {
    if (isStopLine(*line)) break;
  }
  if (std::shared_ptr<Session> running = loadSession()) {
    running->stop();
    return;  // standard input is not read again
  }
  exitNow(0);
}

void onTerminate(int) {
  ::_exit(0);
}

}  // namespace voxlet
