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

// Writes one event line. Events that cannot be serialised are dropped silently.
void emit(const Event& event);

// Writes the events' lines back to back and ends the process with the given status. outLock stays
// held until the process has gone, so no other line can follow or split them.
[[noreturn]] void emitAndExit(std::initializer_list<Event> events, int status);

// Writes an "error" event and ends the process with status 1.
[[noreturn]] void fail(const std::string& code, const std::string& msg);

// Ends the process with the given status once any line being written is complete.
[[noreturn]] void exitNow(int status);

}  // namespace voxlet
