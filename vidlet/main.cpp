// vidlet: reads a header line and raw BGRA frames on standard input, writes H.264 packets on
// standard output.
#include "platform/x264_services.h"
#include "vidlet.h"

int main() {
  static vidlet::platform::X264VideoServices services;
  vidlet::run(services);
}
