#include "events.h"

#include <unistd.h>

#include <cerrno>

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

std::optional<std::string> eventLine(const Event& event) {
  std::string line;
  try {
    // The strict handler refuses strings that are not valid UTF-8.
    line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
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
