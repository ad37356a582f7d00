// Runs a program with its three standard streams on pipes, for process-level tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct ExitResult {
  bool exited = false;  // ended through exit status (not a signal)
  int status = -1;      // exit status when exited
  int signal = 0;       // terminating signal otherwise
};

class Subprocess {
 public:
  // Starts argv[0] (a path) with argv; env entries are added to (or replace) the current
  // environment; entries with an empty value in unset are removed.
  Subprocess(const std::vector<std::string>& argv,
             const std::map<std::string, std::string>& env = {},
             const std::vector<std::string>& unset = {});
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes all bytes to the child's standard input (false if the pipe is closed).
  bool write(const std::string& bytes);
  void closeStdin();
  // Bytes written to standard input that the child has not read yet (-1 once it is closed).
  int unreadInput() const;

  // Next line of standard output without its line feed; nothing on end of output or time-out.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Exactly n bytes of standard output; nothing if the output ends first or time runs out.
  std::optional<std::string> readBytes(
      size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Everything left on standard output until it closes.
  std::string readAll(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Everything on standard error until it closes.
  std::string readStderr(std::chrono::milliseconds timeout = std::chrono::seconds(60));

  void kill(int sig);
  // Waits for the child to end (kills it with SIGKILL after the time-out).
  ExitResult wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));

 private:
  bool fill(int fd, std::string& buf, std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string outBuf_, errBuf_;
  bool outEof_ = false, errEof_ = false;
  std::optional<ExitResult> result_;
};

// Runs a program to completion with the given standard input; collects both outputs.
struct RunResult {
  ExitResult exit;
  std::string out;
  std::string err;
};
RunResult run(const std::vector<std::string>& argv, const std::string& input,
              const std::map<std::string, std::string>& env = {},
              std::chrono::milliseconds timeout = std::chrono::seconds(120));

}  // namespace testing_support
