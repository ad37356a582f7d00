// The authorization chain on the main queue, the control thread and the SIGTERM handler.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace voxlet {

using RecognizerPtr = std::shared_ptr<platform::SpeechRecognizer>;

// Answer to the speech-authorization request; any thread. Posts the decision to the main queue.
void onSpeechAuthorization(const RecognizerPtr& recognizer, platform::SpeechAuthorization status);
// Main queue: the microphone step.
void askMicThenBegin(const RecognizerPtr& recognizer);
// Answer to the microphone-access request; any thread. Posts the decision to the main queue.
void onMicAccess(const RecognizerPtr& recognizer, bool granted);
// Main queue: availability check, then the one Session is created, stored and started.
void begin(const RecognizerPtr& recognizer);

// Body of the control thread: reads standard input up to the stop word or its end, then stops the
// session, or ends the process when there is none yet.
void readControl();

// SIGTERM handler: ends the process at once with status 0.
void onTerminate(int signal);

}  // namespace voxlet
