// A private PulseAudio daemon for tests: its own runtime folder and home, a null sink "vmic" whose
// monitor is the default source, so audio played into the sink is what a recording client hears.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "subprocess.h"

namespace voxlet_test {

// A fresh folder under the temporary directory, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct SinkOptions {
  int rate = 48000;
  int channels = 1;
};

class PulseDaemon {
 public:
  explicit PulseDaemon(SinkOptions sink = {});
  ~PulseDaemon();
  PulseDaemon(const PulseDaemon&) = delete;
  PulseDaemon& operator=(const PulseDaemon&) = delete;

  // True once the daemon answers and its default source is the sink's monitor.
  bool ready() const { return ready_; }
  // What went wrong when it is not ready.
  const std::string& problem() const { return problem_; }

  // The environment a client needs to reach this daemon and no other.
  std::map<std::string, std::string> clientEnv() const;
  // Variables a client must not inherit from the host session.
  static std::vector<std::string> hostVariables();
  // Sets clientEnv() in this process (for clients of the library in the test itself).
  void exportToThisProcess() const;

  // Plays a sound file into a sink (the virtual microphone's unless named) at real time;
  // returns when it has been played.
  bool play(const std::string& file, const std::string& sink = "vmic") const;
  // Starts playing without waiting.
  std::unique_ptr<testing_support::Subprocess> startPlaying(const std::string& file,
                                                            const std::string& sink = "vmic") const;

  // Ends the daemon with SIGKILL, as a crash would; its socket file stays behind.
  bool kill();
  // Stops the daemon with SIGSTOP, as a hung server: it keeps its socket and answers nothing.
  // True once it has stopped.
  bool hang();
  // Lets a hung daemon go on (SIGCONT).
  bool resume();
  // Starts it again on the same socket and script; true once it is ready.
  bool restart();
  // Waits until some client records from the named source.
  bool waitForRecording(const std::string& source, std::chrono::milliseconds timeout);

  // Runs pactl with these arguments against this daemon; its output or nothing on failure.
  std::optional<std::string> pactl(const std::vector<std::string>& args) const;

  const std::string& folder() const { return dir_.path(); }
  const std::string& socketPath() const { return socket_; }

 private:
  void launch();
  // Sends a line to the shell that keeps the daemon and waits for it to answer with the same.
  bool signal(const std::string& name);

  TempDir dir_;
  std::string socket_;
  std::unique_ptr<testing_support::Subprocess> daemon_;
  bool ready_ = false;
  std::string problem_;
};

// Stands in for a server that is gone: listens on its socket path and closes each connection at
// once, noting when it came, so that a client's tries to connect again can be counted and timed.
class RefusingServer {
 public:
  explicit RefusingServer(std::string socketPath);
  ~RefusingServer();  // stops listening and removes the socket file
  RefusingServer(const RefusingServer&) = delete;
  RefusingServer& operator=(const RefusingServer&) = delete;

  bool listening() const { return fd_ >= 0; }
  // The times of the first n connections, once that many came; fewer after the time-out.
  std::vector<std::chrono::steady_clock::time_point> waitForTries(
      size_t n, std::chrono::milliseconds timeout);

 private:
  std::string path_;
  int fd_ = -1;
  std::vector<std::chrono::steady_clock::time_point> tries_;
};

// Writes speech synthesised by flite's "rms" voice (16 kHz mono 16-bit) to path.
bool synthesize(const std::string& text, const std::string& path);
// Runs sox with these arguments; true on success.
bool sox(const std::vector<std::string>& args);

// Word error rate of a hypothesis against a reference, ignoring case and . , ?
double wordErrorRate(const std::string& reference, const std::string& hypothesis);

}  // namespace voxlet_test
