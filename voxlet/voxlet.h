// Entry point of the voice-input engine, shared by the installed program and test builds that
// plug another platform backend in.
#pragma once

#include "platform/platform.h"

namespace voxlet {

// Runs voxlet with the given command line on the given platform. Never returns: the process
// ends through one of its exits.
[[noreturn]] void run(int argc, char** argv, platform::Platform& platform);

}  // namespace voxlet
