// Runs voxlet on the scripted platform over pipes: its event lines parsed as JSON, its exit, its
// standard error and the platform's trace of the calls voxlet made.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "subprocess.h"

namespace voxtest {

using nlohmann::json;
using namespace std::chrono_literals;

// The scripted platform's trace: one line per call, "name" or "name detail", read on a thread
// of its own so that the child never blocks on a full pipe.
class Trace {
 public:
  Trace();
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  int childFd() const { return writeFd_; }
  // After the child has started: only the child holds the write end, so the trace ends with it.
  void childStarted();

  // A pattern matches a line equal to it or starting with it and a space.
  bool waitFor(const std::string& pattern, int n = 1, std::chrono::milliseconds timeout = 20s);
  // Waits for the end of the trace (the child has gone), then answers from all of it.
  std::vector<std::string> lines();
  int count(const std::string& pattern);
  // Index of the first line matching the pattern (the number of lines if none does).
  size_t position(const std::string& pattern);
  bool has(const std::string& pattern) { return count(pattern) > 0; }

 private:
  static bool matches(const std::string& line, const std::string& pattern);
  void readLoop();

  int readFd_ = -1, writeFd_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::string partial_;
  bool ended_ = false;
  std::thread reader_;
};

struct Outcome {
  std::vector<json> events;        // every event of the run, in order
  std::vector<std::string> lines;  // the same, as written
  testing_support::ExitResult exit;
  std::string err;
};

class Voxlet {
 public:
  explicit Voxlet(const json& scenario, const std::vector<std::string>& args = {});

  // The next event; nothing at the end of output or on time-out.
  std::optional<json> next(std::chrono::milliseconds timeout = 20s);
  // Reads up to and including the next event of that kind; a null json if none comes.
  json waitFor(const std::string& kind);
  // Reads up to the next "text" event with that text.
  json waitForText(const std::string& text);

  void send(const std::string& bytes) { process_.write(bytes); }
  void closeInput() { process_.closeStdin(); }
  // Waits until the control thread has taken everything sent and waits in read() for more: every
  // line sent so far has been acted on.
  bool waitUntilInputTaken(std::chrono::milliseconds timeout = 20s);
  void kill(int sig) { process_.kill(sig); }

  // Reads the rest of the output and waits for the exit.
  Outcome finish();

  Trace& trace() { return trace_; }
  const std::vector<json>& events() const { return events_; }

 private:
  json parse(const std::string& line);

  Trace trace_;
  testing_support::Subprocess process_;
  std::vector<json> events_;
  std::vector<std::string> lines_;
};

// Runs voxlet with the given standard input (then closed) to its end.
Outcome runWithInput(const json& scenario, const std::vector<std::string>& args,
                     const std::string& input);

// The events without "level" (and, with dropReady, without "ready").
std::vector<json> withoutLevels(const std::vector<json>& events, bool dropReady = false);
// The "t" of each event.
std::vector<std::string> kinds(const std::vector<json>& events);

json textEvent(const std::string& text, bool final);
json errorEvent(const std::string& code, const std::string& msg);

// Buffers for the scenario's steps.
json fillBuffer(double value, int frames = 2048, int channelCount = 1);

}  // namespace voxtest
