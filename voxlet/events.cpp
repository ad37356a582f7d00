#include "events.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#include <sanitizer/common_interface_defs.h>
#define VOXLET_SANITIZED 1
#endif

namespace voxlet {

std::mutex outLock;

namespace {

// One write loop on descriptor 1; errors other than interruption end the attempt.
void writeAll(const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::write(STDOUT_FILENO, bytes.data() + off, bytes.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    off += static_cast<size_t>(n);
  }
}

}  // namespace

void silenceStandardError() {
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return;
#ifdef VOXLET_SANITIZED
  // Sanitizer reports keep the original standard error, so that a test still sees them.
  const int original = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (original >= 0)
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(original)));
#endif
  if (null != STDERR_FILENO) {
    ::dup2(null, STDERR_FILENO);
    ::close(null);
  }
}

std::optional<std::string> eventLine(const Event& event) {
  std::string line;
  try {
    // Every invalid UTF-8 sequence becomes U+FFFD, so that a text, a locale or a message with
    // stray bytes is still sent rather than lost.
    line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
  line.push_back('\n');
  return line;
}

void emit(const Event& event) {
  std::optional<std::string> line = eventLine(event);
  if (!line) return;
  std::lock_guard<std::mutex> lock(outLock);
  writeAll(*line);
}

void emitAndExit(std::initializer_list<Event> events, int status) {
  std::string lines;
  for (const Event& event : events) {
    if (std::optional<std::string> line = eventLine(event)) lines += *line;
  }
  outLock.lock();
  writeAll(lines);
  ::_exit(status);
}

void fail(const std::string& code, const std::string& msg) {
  emitAndExit({Event{{"t", "error"}, {"code", code}, {"msg", msg}}}, 1);
}

void exitNow(int status) {
  outLock.lock();
  ::_exit(status);
}

}  // namespace voxlet
