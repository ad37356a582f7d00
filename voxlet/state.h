// Process-wide state of voxlet, set once by run() in a fixed order and kept until the process ends.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace voxlet {

class Session;

// The platform the process runs on; set first by run().
platform::Platform& host();
void setHost(platform::Platform& platform);

// The locale to recognise: the current locale, or the value of "--locale".
extern std::string localeId;
// Probe mode ("--probe").
extern bool probe;

// The one Session, empty until the authorization chain has begun dictation. Written on the main
// queue, read by the control thread; the hand-over is synchronised.
void storeSession(std::shared_ptr<Session> value);
std::shared_ptr<Session> loadSession();

}  // namespace voxlet
