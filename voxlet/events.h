// The event stream on standard output: one compact JSON object per line, written whole under
// outLock, and the process exits that must not be followed or interrupted by another line.
#pragma once

#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace voxlet {

// An event: a JSON object whose "t" names its kind.
using Event = nlohmann::json;

// Guards every write to standard output; held only while lines are being written.
extern std::mutex outLock;

// The event as one line (compact JSON and a line feed); invalid UTF-8 in its strings is written as
// U+FFFD. Nothing only when it cannot be serialised at all.
std::optional<std::string> eventLine(const Event& event);

// Points descriptor 2 at /dev/null for the rest of the run. voxlet writes nothing to standard
// error, and neither may the libraries linked into it (the sound server's client library logs
// there when its environment asks for it). Call before any library runs.
void silenceStandardError();

// Queues one event line for the writer thread and returns without waiting for the parent to read.
// Once many lines wait for a parent that does not read, a "level" line, or a "text" line whose
// "final" is false, replaces the lines of its kind still waiting; every other line is kept, and
// lines of one thread keep their order. Events that cannot be serialised are dropped silently.
void emit(const Event& event);

// Writes the lines still waiting, then the events' lines back to back, and ends the process with
// the given status. outLock stays held until the process has gone, so no other line can follow
// or split them.
[[noreturn]] void emitAndExit(std::initializer_list<Event> events, int status);

// Writes an "error" event and ends the process with status 1.
[[noreturn]] void fail(const std::string& code, const std::string& msg);

// Ends the process with the given status once the lines waiting are written.
[[noreturn]] void exitNow(int status);

}  // namespace voxlet
