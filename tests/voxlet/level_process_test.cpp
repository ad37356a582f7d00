// The meter inside a run: the throttle on the platform's wall clock (scripted readings, one per
// buffer), buffers without samples, the clock set back, channel 0 only, and "v" on the wire.
#include <gtest/gtest.h>

#include "harness.h"

namespace voxtest {
namespace {

json channels(std::vector<json> channel0, std::vector<json> channel1 = {}) {
  json list = json::array({channel0});
  if (!channel1.empty()) list.push_back(channel1);
  return json{{"channels", list}};
}

TEST(LevelEvents, ThrottleClockAndFigures) {
  const std::vector<std::pair<double, json>> buffers = {
      {1000.0, fillBuffer(0.01, 64)},                   // first buffer: always metered, 0.25
      {1000.0625, fillBuffer(0.1, 64)},                 // within 0.08 s: nothing
      {1000.125, fillBuffer(0.1, 64)},                  // 0.75
      {1000.25, {{"nonFloat", true}, {"frames", 64}}},  // nothing, but counts as metered
      {1000.3125, fillBuffer(0.5, 64)},                 // within 0.08 s of the last: nothing
      {1000.375, fillBuffer(0.5, 0)},                   // no frames: nothing, counts
      {1000.4375, fillBuffer(0.5, 64)},                 // within 0.08 s: nothing
      {1000.5, channels(std::vector<json>(64, 0.05), std::vector<json>(64, 1.0))},  // 0.6
      {999.0, fillBuffer(1.0, 64)},             // clock set back: nothing
      {1000.5625, fillBuffer(1.0, 64)},         // not yet 0.08 s past 1000.5: nothing
      {1000.625, channels({0.0, "nan", 0.0})},  // 1
      {1000.75, fillBuffer(0.0, 64)},           // silence: 0
      {1000.875, channels({"inf", 0.0})},       // 1
      {1001.0, fillBuffer(0.31623, 64)},        // -10 dBFS: 1
  };
  json clock = json::array(), steps = json::array({{{"wait", "task"}}});
  for (const auto& [time, buffer] : buffers) {
    clock.push_back(time);
    steps.push_back({{"buffer", buffer}});
  }
  steps.push_back({{"wait", "endAudio"}});
  steps.push_back({{"deliver", {{"text", ""}, {"final", true}}}});
  Voxlet v(json{{"clock", clock}, {"steps", steps}});
  // One clock reading per buffer: all are metered once the last reading has been taken.
  ASSERT_TRUE(v.trace().waitFor("now", static_cast<int>(buffers.size())));
  v.send("stop\n");
  Outcome o = v.finish();
  EXPECT_EQ(o.exit.status, 0);
  EXPECT_EQ(o.err, "");

  std::vector<double> levels;
  for (const json& event : o.events) {
    if (event["t"] == "level") {
      EXPECT_EQ(event.size(), 2u);
      levels.push_back(event["v"].get<double>());
    }
  }
  // The 32-bit 0.6 is carried exactly: 0.60000002384185791015625.
  EXPECT_EQ(levels,
            (std::vector<double>{0.25, 0.75, static_cast<double>(0.6f), 1.0, 0.0, 1.0, 1.0}));
  EXPECT_EQ(v.trace().count("append"), static_cast<int>(buffers.size()));
}

}  // namespace
}  // namespace voxtest
