// vidlet: reads a header line and raw BGRA frames on standard input, writes H.264 packets on
// standard output.
#include "platform/backend_services.h"
#include "platform/x264_encoder.h"
#include "vidlet.h"

int main() {
  static vidlet::platform::BackendVideoServices services(vidlet::platform::openX264Encoder);
  vidlet::run(services);
}
