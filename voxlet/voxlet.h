// Entry point of the voice-input engine, shared by the installed program and test builds that
// plug another platform backend in.
#pragma once

#include "platform/platform.h"

namespace voxlet {

// Holds SIGTERM back from the calling thread; the first thing main() does, before anything that
// takes time. run() lets a held signal through once it knows the mode: in dictation mode to the
// handler that ends the process with status 0, in probe mode to the signal's default action.
void holdTermination();

// Runs voxlet with the given command line on the given platform. Never returns: the process
// ends through one of its exits.
[[noreturn]] void run(int argc, char** argv, platform::Platform& platform);

}  // namespace voxlet
