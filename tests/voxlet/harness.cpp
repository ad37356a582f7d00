#include "harness.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace voxtest {

Trace::Trace() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  readFd_ = fds[0];
  writeFd_ = fds[1];
  ::fcntl(writeFd_, F_SETFD, 0);  // the child inherits the write end
  reader_ = std::thread([this] { readLoop(); });
}

Trace::~Trace() {
  if (writeFd_ >= 0) ::close(writeFd_);
  reader_.join();
  ::close(readFd_);
}

void Trace::childStarted() {
  ::close(writeFd_);
  writeFd_ = -1;
}

void Trace::readLoop() {
  char chunk[4096];
  for (;;) {
    ssize_t n = ::read(readFd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    if (n <= 0) {
      ended_ = true;
      changed_.notify_all();
      return;
    }
    partial_.append(chunk, static_cast<size_t>(n));
    size_t nl;
    while ((nl = partial_.find('\n')) != std::string::npos) {
      lines_.push_back(partial_.substr(0, nl));
      partial_.erase(0, nl + 1);
    }
    changed_.notify_all();
  }
}

bool Trace::matches(const std::string& line, const std::string& pattern) {
  return line == pattern || line.rfind(pattern + " ", 0) == 0;
}

bool Trace::waitFor(const std::string& pattern, int n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto seen = [&] {
    int count = 0;
    for (const auto& line : lines_) count += matches(line, pattern);
    return count;
  };
  changed_.wait_for(lock, timeout, [&] { return seen() >= n || ended_; });
  return seen() >= n;
}

std::vector<std::string> Trace::lines() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, 60s, [&] { return ended_; });
  return lines_;
}

int Trace::count(const std::string& pattern) {
  int seen = 0;
  for (const auto& line : lines()) seen += matches(line, pattern);
  return seen;
}

size_t Trace::position(const std::string& pattern) {
  const std::vector<std::string> all = lines();
  size_t at = 0;
  while (at < all.size() && !matches(all[at], pattern)) ++at;
  return at;
}

namespace {

std::vector<std::string> commandLine(const std::vector<std::string>& args) {
  std::vector<std::string> argv{VOXLET_SCRIPTED};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

}  // namespace

Voxlet::Voxlet(const json& scenario, const std::vector<std::string>& args)
    : process_(commandLine(args), {{"VOXLET_SCENARIO", scenario.is_null() ? "{}" : scenario.dump()},
                                   {"VOXLET_TRACE_FD", std::to_string(trace_.childFd())}}) {
  trace_.childStarted();
}

json Voxlet::parse(const std::string& line) {
  lines_.push_back(line);
  json event = json::parse(line, nullptr, false);
  if (event.is_discarded() || !event.is_object() || !event.contains("t")) {
    ADD_FAILURE() << "not an event line: " << line;
    return json();
  }
  EXPECT_EQ(line.find('\r'), std::string::npos) << line;
  events_.push_back(event);
  return event;
}

std::optional<json> Voxlet::next(std::chrono::milliseconds timeout) {
  std::optional<std::string> line = process_.readLine(timeout);
  if (!line) return std::nullopt;
  return parse(*line);
}

json Voxlet::waitFor(const std::string& kind) {
  while (std::optional<json> event = next()) {
    if (event->is_object() && (*event)["t"] == kind) return *event;
  }
  ADD_FAILURE() << "no \"" << kind << "\" event";
  return json();
}

json Voxlet::waitForText(const std::string& text) {
  while (std::optional<json> event = next()) {
    if (event->is_object() && (*event)["t"] == "text" && (*event)["text"] == text) return *event;
  }
  ADD_FAILURE() << "no text event \"" << text << "\"";
  return json();
}

namespace {

std::string firstLineOf(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// Whether the process's thread of that name sleeps in a pipe read.
bool readingPipe(pid_t pid, const std::string& threadName) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    const std::string dir = task.path().string();
    if (firstLineOf(dir + "/comm") != threadName) continue;
    const std::string wchan = firstLineOf(dir + "/wchan");  // "pipe_read", "anon_pipe_read", ...
    return wchan.ends_with("pipe_read");
  }
  return false;
}

}  // namespace

bool Voxlet::waitUntilInputTaken(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (process_.unreadInput() == 0 && readingPipe(process_.pid(), "voxlet-control")) return true;
    std::this_thread::sleep_for(2ms);  // polls the control thread's state
  }
  return false;
}

Outcome Voxlet::finish() {
  std::string rest = process_.readAll();
  size_t start = 0, nl;
  while ((nl = rest.find('\n', start)) != std::string::npos) {
    parse(rest.substr(start, nl - start));
    start = nl + 1;
  }
  EXPECT_EQ(rest.substr(start), "") << "output ends inside a line";
  Outcome outcome;
  outcome.err = process_.readStderr();
  outcome.exit = process_.wait();
  outcome.events = events_;
  outcome.lines = lines_;
  trace_.lines();  // the trace is complete from here on
  return outcome;
}

Outcome runWithInput(const json& scenario, const std::vector<std::string>& args,
                     const std::string& input) {
  Voxlet voxlet(scenario, args);
  voxlet.send(input);
  voxlet.closeInput();
  return voxlet.finish();
}

std::vector<json> withoutLevels(const std::vector<json>& events, bool dropReady) {
  std::vector<json> kept;
  for (const json& event : events) {
    if (event["t"] == "level" || (dropReady && event["t"] == "ready")) continue;
    kept.push_back(event);
  }
  return kept;
}

std::vector<std::string> kinds(const std::vector<json>& events) {
  std::vector<std::string> result;
  for (const json& event : events) result.push_back(event.value("t", ""));
  return result;
}

json textEvent(const std::string& text, bool final) {
  return json{{"t", "text"}, {"text", text}, {"final", final}};
}

json errorEvent(const std::string& code, const std::string& msg) {
  return json{{"t", "error"}, {"code", code}, {"msg", msg}};
}

json fillBuffer(double value, int frames, int channelCount) {
  return json{{"fill", value}, {"frames", frames}, {"channelCount", channelCount}};
}

}  // namespace voxtest
