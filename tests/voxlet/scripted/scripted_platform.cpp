#include "scripted_platform.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>
#include <sstream>
#include <thread>

#include "dispatch.h"

namespace scripted {

namespace {

// Milliseconds of the monotonic clock, for the trace: comparable between calls of one process.
std::string monotonicMs() {
  using namespace std::chrono;
  return std::to_string(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

double number(const json& value) {
  if (value.is_string()) {
    const std::string s = value.get<std::string>();
    if (s == "nan") return std::numeric_limits<double>::quiet_NaN();
    if (s == "inf") return std::numeric_limits<double>::infinity();
    if (s == "-inf") return -std::numeric_limits<double>::infinity();
  }
  return value.get<double>();
}

std::string show(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

void sleepMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class ScriptedRequest : public vp::RecognitionRequest {
 public:
  ScriptedRequest(ScriptedPlatform& platform, int index) : platform_(platform), index_(index) {}
  int index() const { return index_; }

  void setShouldReportPartialResults(bool on) override {
    platform_.note("request.partial", std::to_string(index_) + (on ? " true" : " false"));
  }
  void setAddsPunctuation(bool on) override {
    platform_.note("request.punctuation", std::to_string(index_) + (on ? " true" : " false"));
  }
  void appendAudioPCMBuffer(vp::AudioBufferPtr buffer) override {
    platform_.note("append", std::to_string(index_) +
                                 " frames=" + std::to_string(buffer ? buffer->frameLength() : 0));
  }
  void endAudio() override {
    platform_.note("endAudio", std::to_string(index_) + " at=" + monotonicMs());
  }

 private:
  ScriptedPlatform& platform_;
  const int index_;
};

class ScriptedTask : public vp::RecognitionTask {
 public:
  ScriptedTask(ScriptedPlatform& platform, int index) : platform_(platform), index_(index) {}
  void cancel() override {
    platform_.note("cancel", std::to_string(index_) + " at=" + monotonicMs());
  }

 private:
  ScriptedPlatform& platform_;
  const int index_;
};

}  // namespace

class ScriptedRecognizer : public vp::SpeechRecognizer {
 public:
  ScriptedRecognizer(ScriptedPlatform& platform, std::string name)
      : platform_(platform), name_(std::move(name)) {}

  bool isAvailable() override {
    platform_.note("available");
    return platform_.scenario().value("available", true);
  }
  std::shared_ptr<vp::RecognitionTask> recognitionTask(
      std::shared_ptr<vp::RecognitionRequest> request, vp::ResultHandler handler) override {
    auto* scripted = dynamic_cast<ScriptedRequest*>(request.get());
    const int index = scripted ? scripted->index() : 0;
    platform_.registerTask(index, std::move(handler));
    return std::make_shared<ScriptedTask>(platform_, index);
  }
  void preload() override { platform_.note("preload", name_); }

 private:
  ScriptedPlatform& platform_;
  const std::string name_;
};

namespace {

class ScriptedInputNode : public vp::InputNode {
 public:
  explicit ScriptedInputNode(ScriptedPlatform& platform) : platform_(platform) {}

  vp::AudioFormat outputFormatForBus(uint32_t bus) override {
    platform_.note("format", "bus=" + std::to_string(bus));
    const json format = platform_.scenario().value("format", json::object());
    vp::AudioFormat result;
    result.sampleRate = format.contains("sampleRate") ? number(format["sampleRate"]) : 48000.0;
    result.channelCount = format.value("channels", 1u);
    return result;
  }
  void installTapOnBus(uint32_t bus, uint32_t bufferSize, vp::AudioFormat format,
                       vp::TapBlock block) override {
    platform_.setTap(std::move(block));
    platform_.note("tap.install", "bus=" + std::to_string(bus) +
                                      " frames=" + std::to_string(bufferSize) +
                                      " rate=" + show(format.sampleRate) +
                                      " channels=" + std::to_string(format.channelCount));
  }
  void removeTapOnBus(uint32_t bus) override {
    platform_.setTap(nullptr);
    platform_.note("tap.remove", "bus=" + std::to_string(bus));
  }

 private:
  ScriptedPlatform& platform_;
};

}  // namespace

class ScriptedEngine : public vp::AudioEngine {
 public:
  explicit ScriptedEngine(ScriptedPlatform& platform) : platform_(platform), input_(platform) {}

  vp::InputNode& inputNode() override { return input_; }
  void prepare() override { platform_.note("prepare"); }
  bool startAndReturnError(std::string* error) override {
    platform_.note("start");
    const json& scenario = platform_.scenario();
    if (scenario.value("startHangs", false)) platform_.hang();
    if (scenario.value("startWaitsForStop", false)) platform_.waitFor("stop", 1);
    if (scenario.contains("startError")) {
      *error = scenario["startError"].get<std::string>();
      return false;
    }
    platform_.setStarted();
    return true;
  }
  void stop() override {
    // How much of standard input is still unread when capture stops.
    int unread = 0;
    if (::ioctl(STDIN_FILENO, FIONREAD, &unread) != 0) unread = -1;
    platform_.note("stop", "unread=" + std::to_string(unread));
  }

 private:
  ScriptedPlatform& platform_;
  ScriptedInputNode input_;
};

ScriptedPlatform::ScriptedPlatform(json scenario, int traceFd)
    : scenario_(std::move(scenario)), traceFd_(traceFd) {}

void ScriptedPlatform::startScript() {
  voxlet::startDetached([this] { runScript(); }, "script");
}

void ScriptedPlatform::note(const std::string& name, const std::string& detail) {
  std::string line = detail.empty() ? name : name + " " + detail;
  line.push_back('\n');
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_[name];
    if (traceFd_ >= 0) {
      size_t off = 0;
      while (off < line.size()) {
        ssize_t n = ::write(traceFd_, line.data() + off, line.size() - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
      }
    }
  }
  changed_.notify_all();
}

std::string ScriptedPlatform::currentLocaleIdentifier() {
  note("locale");
  return scenario_.value("locale", std::string("en_US"));
}

vp::SpeechAuthorization ScriptedPlatform::speechAuthorizationStatus() {
  note("speech.status");
  return vp::SpeechAuthorization{scenario_.value("speechStatus", 3)};
}

void ScriptedPlatform::requestSpeechAuthorization(
    std::function<void(vp::SpeechAuthorization)> handler) {
  note("speech.request");
  if (scenario_.contains("speechAnswer") && scenario_["speechAnswer"].is_null()) {
    std::lock_guard<std::mutex> lock(mutex_);
    pendingSpeech_ = std::move(handler);  // the prompt stays open
    return;
  }
  const vp::SpeechAuthorization answer{scenario_.value("speechAnswer", 3)};
  const int delay = scenario_.value("speechAnswerDelayMs", 0);
  voxlet::startDetached([handler = std::move(handler), answer, delay] {
    sleepMs(delay);
    handler(answer);
  });
}

std::shared_ptr<ScriptedRecognizer> ScriptedPlatform::makeRecognizer(const std::string& name) {
  return std::make_shared<ScriptedRecognizer>(*this, name);
}

std::shared_ptr<vp::SpeechRecognizer> ScriptedPlatform::recognizerForLocale(
    const std::string& localeId) {
  note("recognizer.locale", localeId);
  const json supported = scenario_.value("recognizers", json::array({"en_US"}));
  for (const json& locale : supported) {
    if (locale.get<std::string>() == localeId) return makeRecognizer(localeId);
  }
  return nullptr;
}

std::shared_ptr<vp::SpeechRecognizer> ScriptedPlatform::defaultRecognizer() {
  note("recognizer.default");
  if (!scenario_.value("defaultRecognizer", true)) return nullptr;
  return makeRecognizer("default");
}

std::shared_ptr<vp::RecognitionRequest> ScriptedPlatform::makeRecognitionRequest() {
  int index;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    index = ++requests_;
  }
  note("request.make", std::to_string(index));
  return std::make_shared<ScriptedRequest>(*this, index);
}

bool ScriptedPlatform::supportsPunctuation() {
  return scenario_.value("punctuation", true);
}

vp::MicrophoneAuthorization ScriptedPlatform::microphoneAuthorizationStatus() {
  note("mic.status");
  return vp::MicrophoneAuthorization{scenario_.value("micStatus", 3)};
}

void ScriptedPlatform::requestMicrophoneAccess(std::function<void(bool)> handler) {
  note("mic.request");
  if (scenario_.contains("micAnswer") && scenario_["micAnswer"].is_null()) {
    std::lock_guard<std::mutex> lock(mutex_);
    pendingMic_ = std::move(handler);
    return;
  }
  const bool answer = scenario_.value("micAnswer", true);
  const int delay = scenario_.value("micAnswerDelayMs", 0);
  voxlet::startDetached([handler = std::move(handler), answer, delay] {
    sleepMs(delay);
    handler(answer);
  });
}

std::unique_ptr<vp::AudioEngine> ScriptedPlatform::makeAudioEngine() {
  note("engine.make");
  return std::make_unique<ScriptedEngine>(*this);
}

double ScriptedPlatform::now() {
  double value;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (scenario_.contains("clock") && !scenario_["clock"].empty()) {
      const json& readings = scenario_["clock"];
      value = number(readings.at(std::min(clockReads_, readings.size() - 1)));
      ++clockReads_;
    } else {
      timespec ts;
      clock_gettime(CLOCK_REALTIME, &ts);
      value = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
    }
  }
  note("now", show(value));
  return value;
}

void ScriptedPlatform::setTap(vp::TapBlock block) {
  std::lock_guard<std::mutex> lock(tapMutex_);
  tap_ = std::move(block);
}

void ScriptedPlatform::setStarted() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = true;
  }
  changed_.notify_all();
}

void ScriptedPlatform::registerTask(int requestIndex, vp::ResultHandler handler) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[requestIndex] = std::move(handler);
    latestTask_ = requestIndex;
  }
  note("task", std::to_string(requestIndex));
}

void ScriptedPlatform::hang() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) changed_.wait(lock);
}

void ScriptedPlatform::waitFor(const std::string& name, int count) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return counts_[name] >= count; });
}

void ScriptedPlatform::runScript() {
  for (const json& step : scenario_.value("steps", json::array())) runStep(step);
}

// Steps:
//   {"wait": name, "n": k}     until the k-th call named name (k defaults to 1)
//   {"sleepMs": k}
//   {"buffer": shape, "repeat": r}   one captured buffer through the tap, r times; shape is
//       {"fill": v, "frames": n, "channelCount": c}, {"channels": [[samples]...], "frames": n}
//       or {"nonFloat": true, "frames": n, "channelCount": c}; a sample is a number, "nan",
//       "inf" or "-inf"
//   {"deliver": {"text": s | "bytes": [..], "final": b, "error": s, "request": k}}
//       one call of the result handler of request k (the latest by default): a result when
//       "text" or "bytes" is given, an error when "error" is
//   {"failRequests": n}        an error for the latest request, then for each of the next n-1,
//                              then waits for the request after them
void ScriptedPlatform::runStep(const json& step) {
  if (step.contains("wait")) {
    waitFor(step["wait"].get<std::string>(), step.value("n", 1));
  } else if (step.contains("sleepMs")) {
    sleepMs(step["sleepMs"].get<int>());
  } else if (step.contains("buffer")) {
    for (int i = 0; i < step.value("repeat", 1); ++i) deliverBuffer(step["buffer"]);
  } else if (step.contains("deliver")) {
    deliverResult(step["deliver"]);
  } else if (step.contains("failRequests")) {
    int first;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      first = latestTask_;
    }
    const int n = step["failRequests"].get<int>();
    for (int i = 0; i < n; ++i) {
      waitFor("task", first + i);
      deliverResult(json{{"error", "no speech"}, {"request", first + i}});
    }
    waitFor("task", first + n);
  }
}

void ScriptedPlatform::deliverBuffer(const json& shape) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return started_; });
  }
  vp::AudioBufferPtr buffer;
  if (shape.value("nonFloat", false)) {
    buffer = vp::AudioBuffer::nonFloat(shape.value("channelCount", 1u), shape.value("frames", 0u));
  } else if (shape.contains("channels")) {
    std::vector<std::vector<float>> channels;
    for (const json& channel : shape["channels"]) {
      std::vector<float> samples;
      for (const json& sample : channel) samples.push_back(static_cast<float>(number(sample)));
      channels.push_back(std::move(samples));
    }
    const uint32_t frames = shape.contains("frames") ? shape["frames"].get<uint32_t>()
                            : channels.empty()       ? 0u
                                                     : static_cast<uint32_t>(channels[0].size());
    buffer = std::make_shared<vp::AudioBuffer>(std::move(channels), frames);
  } else {
    const uint32_t frames = shape.value("frames", 2048u);
    const float fill = static_cast<float>(number(shape.value("fill", json(0.0))));
    std::vector<std::vector<float>> channels(shape.value("channelCount", 1u),
                                             std::vector<float>(frames, fill));
    buffer = std::make_shared<vp::AudioBuffer>(std::move(channels), frames);
  }
  std::lock_guard<std::mutex> lock(tapMutex_);
  if (tap_) {
    tap_(buffer);
  } else {
    note("buffer.dropped");
  }
}

void ScriptedPlatform::deliverResult(const json& call) {
  vp::ResultHandler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const int index = call.value("request", latestTask_);
    auto found = handlers_.find(index);
    if (found == handlers_.end()) return;
    handler = found->second;
  }
  std::optional<vp::RecognitionResult> result;
  if (call.contains("text") || call.contains("bytes")) {
    vp::RecognitionResult r;
    if (call.contains("bytes")) {
      for (const json& byte : call["bytes"]) r.formattedString.push_back(byte.get<char>());
    } else {
      r.formattedString = call["text"].get<std::string>();
    }
    r.isFinal = call.value("final", false);
    result = std::move(r);
  }
  std::optional<vp::RecognitionError> error;
  if (call.contains("error")) error = vp::RecognitionError{call["error"].get<std::string>()};
  handler(std::move(result), std::move(error));
}

}  // namespace scripted
