// What the capture engine does next, apart from the sound server's client library: the phase
// capture is in, and the commands that carry it on when something happens on the server. Pure:
// the engine feeds it what its callbacks saw and carries out the commands it returns.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "backoff.h"

namespace voxlet::linux_backend {

enum class CapturePhase {
  Idle,           // not capturing
  Starting,       // the first stream is connecting; start waits for it
  Recording,      // a stream records (also while the server is asked for its default source)
  Opening,        // a stream on a new default source is connecting
  AskingDefault,  // no stream: the server is asked which source is the default
  NoSource,       // no stream: the server has no default source; waiting for a change
  StreamBackoff,  // the stream failed: waiting before asking for the default source again
  ServerBackoff,  // the server is gone: waiting before connecting again
  Connecting,     // a new connection to the server is being made
};

// Names the stream, context, question or timer an input is about, so that an input about one
// that the engine has let go meanwhile changes nothing. 0 names none.
using Ticket = uint64_t;

struct CaptureInput {
  enum class Kind {
    Start,           // capture begins on `source` ("" lets the server choose)
    Stop,            // capture ends
    StreamReady,     // the stream records
    StreamEnded,     // the stream failed or could not be opened
    StreamMoved,     // the server moved the stream to `source` by itself
    ContextReady,    // the new connection is ready
    ContextEnded,    // the connection failed or could not be made
    SourcesChanged,  // the default source may be another one now
    DefaultSource,   // the server's answer: its default source is `source` ("" none)
    NoAnswer,        // the question failed
    TimerDue,        // a back-off wait is over
  };
  Kind kind;
  Ticket ticket = 0;
  std::string source{};
};

struct CaptureCommand {
  enum class Kind {
    OpenStream,      // let any stream go and open one on `source`
    DropStream,      // let the stream go
    Subscribe,       // have the connection report source and server changes
    AskDefault,      // ask the server for its default source
    CancelQuestion,  // the open question's answer is no longer wanted
    ArmTimer,        // TimerDue after `delay`
    Reconnect,       // let the connection go and connect a new one
    Release,         // let everything go: stream, question, timer, callbacks
  };
  Kind kind;
  std::string source{};
  std::chrono::milliseconds delay{0};

  bool operator==(const CaptureCommand&) const = default;
};

class CapturePlan {
 public:
  // The one transition: the phase after `input`, and what to do to get there.
  std::vector<CaptureCommand> handle(const CaptureInput& input);

  CapturePhase phase() const { return phase_; }
  // The tickets of what exists now, for inputs about it.
  Ticket stream() const { return stream_; }
  Ticket context() const { return context_; }
  Ticket question() const { return question_; }
  Ticket timer() const { return timer_; }

 private:
  enum class Question { None, Open, OpenThenAgain };

  bool current(const CaptureInput& input) const;
  bool hasStream() const;
  void open(const std::string& source, std::vector<CaptureCommand>& out);
  void ask(std::vector<CaptureCommand>& out);
  void backOff(CapturePhase phase, std::vector<CaptureCommand>& out);
  void answered(const CaptureInput& input, std::vector<CaptureCommand>& out);

  CapturePhase phase_ = CapturePhase::Idle;
  Question questionState_ = Question::None;
  std::string source_;  // of the stream
  Backoff backoff_;
  Ticket last_ = 0;
  Ticket stream_ = 0, context_ = 0, question_ = 0, timer_ = 0;
};

}  // namespace voxlet::linux_backend
