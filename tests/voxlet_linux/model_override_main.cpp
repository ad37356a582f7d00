// voxlet for tests that point it at other model files: the installed program's main, with the
// model root and the folder of derived dictionaries taken from VOXLET_TEST_MODEL_ROOT and
// VOXLET_TEST_DICTIONARY_FOLDER when they are set. Only this test build reads them; the installed
// voxlet has no configuration of its own.
#include <cstdlib>
#include <string>

#include "events.h"
#include "linux_platform.h"
#include "voxlet.h"

namespace {

std::string fromEnvironment(const char* name, std::string otherwise) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : otherwise;
}

}  // namespace

int main(int argc, char** argv) {
  using voxlet::linux_backend::LinuxPlatform;
  voxlet::holdTermination();
  voxlet::silenceStandardError();
  auto* platform = new LinuxPlatform(
      fromEnvironment("VOXLET_TEST_MODEL_ROOT", LinuxPlatform::defaultModelRoot()),
      fromEnvironment("VOXLET_TEST_DICTIONARY_FOLDER", LinuxPlatform::defaultDictionaryFolder()));
  voxlet::run(argc, argv, *platform);
}
