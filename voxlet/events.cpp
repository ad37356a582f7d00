#include "events.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>

#include "dispatch.h"

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

// Lines go out through one writer thread, so that no thread that emits ever waits for the parent
// to read. A parent that reads gets every line. One that does not lets lines pile up, and past
// kMostWaiting bytes "level" lines and partial "text" lines become latest-wins: each carries the
// whole state, so a newer one replaces its kind's lines still waiting. What waits then stays
// bounded: those bytes, a line of each such kind, and the few lines that are never dropped (every
// other line, final "text", "end" and "error" among them). A newer latest-wins line goes after
// everything waiting, so lines keep the order they were emitted in.
namespace {

constexpr size_t kMostWaiting = 256 * 1024;

enum class Kind { Kept, Level, PartialText };

Kind kindOf(const Event& event) {
  if (!event.is_object()) return Kind::Kept;
  const auto t = event.find("t");
  if (t == event.end() || !t->is_string()) return Kind::Kept;
  if (*t == "level") return Kind::Level;
  const auto final = event.find("final");
  if (*t == "text" && final != event.end() && *final == false) return Kind::PartialText;
  return Kind::Kept;
}

struct Waiting {
  Kind kind;
  std::string bytes;
};

// The lines waiting for the writer. Lock order: outLock, then this mutex.
struct Outbox {
  std::mutex mutex;
  std::condition_variable posted;
  std::deque<Waiting> lines;
  size_t bytes = 0;  // in lines
  enum class Writer { None, Running, Refused } writer = Writer::None;
  bool closed = false;  // the process is ending: nothing more is taken
};

Outbox& outbox() {
  // Never destroyed: the process ends while other threads may still emit.
  static Outbox* box = new Outbox;
  return *box;
}

// The writer thread: takes the oldest line once it holds outLock, so a line it has taken is
// always written before anyone else can write.
void writeLines() {
  Outbox& box = outbox();
  for (;;) {
    {
      std::unique_lock<std::mutex> wait(box.mutex);
      box.posted.wait(wait, [&] { return !box.lines.empty(); });
    }
    std::lock_guard<std::mutex> out(outLock);
    std::string bytes;
    {
      std::lock_guard<std::mutex> take(box.mutex);
      if (box.lines.empty()) continue;
      bytes = std::move(box.lines.front().bytes);
      box.lines.pop_front();
      box.bytes -= bytes.size();
    }
    writeAll(bytes);
  }
}

// Takes every line still waiting and stops taking more; the caller holds outLock.
std::string takeAllWaiting() {
  Outbox& box = outbox();
  std::lock_guard<std::mutex> lock(box.mutex);
  box.closed = true;
  std::string bytes;
  for (Waiting& line : box.lines) bytes += line.bytes;
  box.lines.clear();
  box.bytes = 0;
  return bytes;
}

}  // namespace

void emit(const Event& event) {
  std::optional<std::string> line = eventLine(event);
  if (!line) return;
  const Kind kind = kindOf(event);
  Outbox& box = outbox();
  {
    std::lock_guard<std::mutex> lock(box.mutex);
    if (box.closed) return;
    if (box.writer == Outbox::Writer::None) {
      box.writer = startDetached(writeLines, "voxlet-out") ? Outbox::Writer::Running
                                                           : Outbox::Writer::Refused;
    }
    if (box.writer == Outbox::Writer::Running) {
      if (kind != Kind::Kept && box.bytes > kMostWaiting) {
        std::erase_if(box.lines, [&](const Waiting& w) {
          if (w.kind != kind) return false;
          box.bytes -= w.bytes.size();
          return true;
        });
      }
      box.bytes += line->size();
      box.lines.push_back({kind, std::move(*line)});
      box.posted.notify_one();
      return;
    }
  }
  // Without a writer thread the line is written here.
  std::lock_guard<std::mutex> lock(outLock);
  writeAll(*line);
}

void emitAndExit(std::initializer_list<Event> events, int status) {
  std::string lines;
  for (const Event& event : events) {
    if (std::optional<std::string> line = eventLine(event)) lines += *line;
  }
  outLock.lock();
  writeAll(takeAllWaiting() + lines);
  ::_exit(status);
}

void fail(const std::string& code, const std::string& msg) {
  emitAndExit({Event{{"t", "error"}, {"code", code}, {"msg", msg}}}, 1);
}

void exitNow(int status) {
  outLock.lock();
  writeAll(takeAllWaiting());
  ::_exit(status);
}

}  // namespace voxlet
