// vidlet: reads a header line and raw BGRA frames on standard input, writes H.264 packets on
// standard output.
//
// The encoder is OpenH264 (platform/openh264_encoder.h), chosen by bench/vidlet-bench.py --quick
// (5 s inputs at 30 fps, CPU time per frame on 2 shared cores) against the same program on x264
// alone (VIDLET_ENCODER=x264), an OpenH264 peer and ffmpeg's libx264. At 1 Mb/s OpenH264 takes 1.8
// to 2.4 times less CPU than x264 for a picture 0.1 to 0.4 dB behind in RGB (footage 768x576:
// 2.64 against 6.38 ms a frame, 33.52 against 33.62 dB; camera-like 720p: 5.86 against 13.00 ms,
// 26.98 against 27.37 dB; mandelbrot 360p: 1.53 against 2.82 ms, 22.68 against 22.93 dB), and in
// its screen-content mode it keeps a 1080p page of text sharp where x264's bounded buffer blurs it
// (37.3 against 23.3 dB, 13.1 against 17.3 ms). At 4 Mb/s it is ahead on camera-like 720p
// (28.59 against 28.51 dB) and 2.3 dB behind on the footage. x264 stays for what OpenH264 cannot
// do: pictures below 16 pixels a side, and below 0.012 bits a pixel, where OpenH264's first key
// frame alone breaks the rate bounds (platform/default_encoder.h). OpenH264's rate control cannot
// hold the bounds on costly pictures by itself; the encoder repeats the previous picture where it
// would not (platform/rate_guard.h), which on grainy 640x360 at 250 kb/s costs 3.5 dB against
// x264 (18.8 against 22.3 dB) at a third of its CPU (0.91 against 2.83 ms).
#include "platform/backend_services.h"
#include "platform/default_encoder.h"
#include "platform/x264_encoder.h"
#include "vidlet.h"

namespace {

#ifdef VIDLET_X264
constexpr vidlet::platform::OpenVideoEncoder kEncoder = vidlet::platform::openX264Encoder;
#else
constexpr vidlet::platform::OpenVideoEncoder kEncoder = vidlet::platform::openDefaultEncoder;
#endif

}  // namespace

int main() {
  static vidlet::platform::BackendVideoServices services(kEncoder);
  vidlet::run(services);
}
