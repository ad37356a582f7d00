#include "capture_plan.h"

namespace voxlet::linux_backend {

using Kind = CaptureInput::Kind;
using Do = CaptureCommand::Kind;
using Phase = CapturePhase;

bool CapturePlan::current(const CaptureInput& input) const {
  switch (input.kind) {
    case Kind::Start:
    case Kind::Stop:
      return true;
    case Kind::StreamReady:
    case Kind::StreamEnded:
    case Kind::StreamMoved:
      return input.ticket != 0 && input.ticket == stream_;
    case Kind::ContextReady:
    case Kind::ContextEnded:
    case Kind::SourcesChanged:
      return input.ticket != 0 && input.ticket == context_;
    case Kind::DefaultSource:
    case Kind::NoAnswer:
      return input.ticket != 0 && input.ticket == question_;
    case Kind::TimerDue:
      return input.ticket != 0 && input.ticket == timer_;
  }
  return false;
}

bool CapturePlan::hasStream() const {
  return phase_ == Phase::Starting || phase_ == Phase::Opening || phase_ == Phase::Recording;
}

void CapturePlan::open(const std::string& source, std::vector<CaptureCommand>& out) {
  stream_ = ++last_;
  source_ = source;
  out.push_back({Do::OpenStream, source});
}

// A question asked while another is open is asked again once that one is answered: the answer
// on its way may predate the change.
void CapturePlan::ask(std::vector<CaptureCommand>& out) {
  if (phase_ == Phase::NoSource || phase_ == Phase::StreamBackoff) phase_ = Phase::AskingDefault;
  if (questionState_ != Question::None) {
    questionState_ = Question::OpenThenAgain;
    return;
  }
  questionState_ = Question::Open;
  question_ = ++last_;
  out.push_back({Do::AskDefault});
}

void CapturePlan::backOff(CapturePhase phase, std::vector<CaptureCommand>& out) {
  phase_ = phase;
  timer_ = ++last_;
  out.push_back({Do::ArmTimer, {}, backoff_.nextDelay()});
}

void CapturePlan::answered(const CaptureInput& input, std::vector<CaptureCommand>& out) {
  const bool again = questionState_ == Question::OpenThenAgain;
  questionState_ = Question::None;
  question_ = 0;
  if (input.kind == Kind::NoAnswer) {
    // Nothing changes; a lost connection has its own input.
    if (phase_ == Phase::AskingDefault) phase_ = Phase::NoSource;
  } else if (hasStream() && source_ == input.source) {
    // Already recording (or about to) from the default source.
  } else if (input.source.empty()) {
    if (hasStream()) out.push_back({Do::DropStream});
    stream_ = 0;
    phase_ = Phase::NoSource;
  } else {
    open(input.source, out);
    phase_ = Phase::Opening;
  }
  if (again) ask(out);
}

std::vector<CaptureCommand> CapturePlan::handle(const CaptureInput& input) {
  std::vector<CaptureCommand> out;
  if (!current(input)) return out;
  if (phase_ == Phase::Idle && input.kind != Kind::Start) return out;
  switch (input.kind) {
    case Kind::Start:
      if (phase_ != Phase::Idle) break;
      phase_ = Phase::Starting;
      context_ = ++last_;
      backoff_.succeeded();
      open(input.source, out);
      break;
    case Kind::Stop:
      phase_ = Phase::Idle;
      questionState_ = Question::None;
      stream_ = context_ = question_ = timer_ = 0;
      out.push_back({Do::Release});
      break;
    case Kind::StreamReady:
      if (phase_ == Phase::Starting) out.push_back({Do::Subscribe});
      phase_ = Phase::Recording;
      backoff_.succeeded();
      break;
    case Kind::StreamEnded:
      stream_ = 0;
      if (phase_ == Phase::Starting) return handle({Kind::Stop});
      out.push_back({Do::DropStream});
      backOff(Phase::StreamBackoff, out);
      break;
    case Kind::StreamMoved:
      source_ = input.source;
      break;
    case Kind::ContextReady:
      if (phase_ != Phase::Connecting) break;
      phase_ = Phase::AskingDefault;
      out.push_back({Do::Subscribe});
      ask(out);
      break;
    case Kind::ContextEnded:
      if (phase_ == Phase::Starting) return handle({Kind::Stop});
      if (hasStream()) out.push_back({Do::DropStream});
      if (questionState_ != Question::None) out.push_back({Do::CancelQuestion});
      questionState_ = Question::None;
      stream_ = context_ = question_ = 0;
      backOff(Phase::ServerBackoff, out);
      break;
    case Kind::SourcesChanged:
      if (phase_ != Phase::Starting) ask(out);
      break;
    case Kind::DefaultSource:
    case Kind::NoAnswer:
      answered(input, out);
      break;
    case Kind::TimerDue:
      timer_ = 0;
      if (phase_ == Phase::ServerBackoff) {
        phase_ = Phase::Connecting;
        context_ = ++last_;
        out.push_back({Do::Reconnect});
      } else if (phase_ == Phase::StreamBackoff) {
        if (questionState_ == Question::None) ask(out);
        phase_ = Phase::AskingDefault;
      }
      break;
  }
  return out;
}

}  // namespace voxlet::linux_backend
