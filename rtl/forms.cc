#include "rtl/forms.h"

#include <cstdio>
#include <cstdlib>

#include "platform/console.h"
#include "platform/messages.h"
#include "rtl/sysutils.h"

namespace {
TApplication theApplication;

// An error that escaped an event handler is reported and the loop goes on,
// as a window program's message loop does.
const bool reportsHandlerErrors = [] {
  plat::SetDispatchExceptionHandler([](const std::exception& e) { Application->ShowException(e); });
  return true;
}();
}  // namespace

TApplication* Application = &theApplication;

TPumped PumpMessage() {
  // Checked before every message: a stop never waits behind the queue.
  if (plat::TakeStopRequest()) return TPumped::Quit;
  plat::Message m;
  if (!plat::PeekMessageRemove(&m)) return TPumped::Nothing;
  if (m.msg == plat::kWmQuit) return TPumped::Quit;
  plat::DispatchQueued(m);
  return TPumped::Message;
}

bool PumpWaitingMessages() {
  for (;;) {
    switch (PumpMessage()) {
      case TPumped::Nothing:
        return false;
      case TPumped::Quit:
        return true;
      case TPumped::Message:
        break;
    }
  }
}

bool WaitAndPumpMessages() {
  switch (PumpMessage()) {
    case TPumped::Quit:
      return true;
    case TPumped::Message:
      return false;
    case TPumped::Nothing:
      break;
  }
  plat::WaitForMessage();
  return PumpWaitingMessages();
}

void TApplication::ProcessMessages() {
  if (PumpWaitingMessages()) FTerminated = true;
}

void TApplication::HandleMessage() {
  if (FTerminated) return;
  if (WaitAndPumpMessages()) FTerminated = true;
}

void TApplication::Terminate() { plat::PostQuit(); }

void TApplication::ShowException(const std::exception& e) {
  std::string text = e.what();
  if (ErrorWriter) {
    ErrorWriter(text);
  } else {
    text += plat::LineEnd();
    plat::WriteStdout(text.data(), text.size());
  }
}

int TApplication::Run(const std::function<int()>& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    ShowException(e);
  }
  Halt(1);
}

[[noreturn]] void Halt(int code) {
  std::fflush(nullptr);
  std::_Exit(code);
}
