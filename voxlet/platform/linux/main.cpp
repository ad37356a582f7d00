// The installed voxlet: the dictation engine on the Linux platform services.
#include "events.h"
#include "linux_platform.h"
#include "voxlet.h"

int main(int argc, char** argv) {
  voxlet::holdTermination();
  voxlet::silenceStandardError();
  // Never destroyed: the process ends through voxlet's own exits while platform threads run.
  auto* platform = new voxlet::linux_backend::LinuxPlatform();
  voxlet::run(argc, argv, *platform);
}
