// voxlet on the scripted platform. The scenario is the JSON text of VOXLET_SCENARIO; the trace
// goes to the descriptor named by VOXLET_TRACE_FD. Test builds only.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "events.h"
#include "scripted_platform.h"
#include "voxlet.h"

int main(int argc, char** argv) {
  voxlet::holdTermination();
  const char* text = std::getenv("VOXLET_SCENARIO");
  nlohmann::json scenario = nlohmann::json::object();
  if (text != nullptr && *text != '\0') {
    scenario = nlohmann::json::parse(text, nullptr, false);
    if (scenario.is_discarded() || !scenario.is_object()) {
      std::fprintf(stderr, "voxlet_scripted: VOXLET_SCENARIO is not a JSON object\n");
      return 99;
    }
  }
  const bool pauseAtStart = scenario.value("pauseAtStart", false);
  voxlet::silenceStandardError();
  const char* trace = std::getenv("VOXLET_TRACE_FD");
  const int traceFd = trace != nullptr ? std::atoi(trace) : -1;
  // Never destroyed: the process ends through voxlet's exits while platform threads still run.
  auto* platform = new scripted::ScriptedPlatform(std::move(scenario), traceFd);
  if (pauseAtStart) {
    // Stands for slow start-up work before run(): waits for one byte of standard input.
    platform->note("main");
    char byte;
    while (::read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR) {
    }
  }
  platform->startScript();
  voxlet::run(argc, argv, *platform);
}
