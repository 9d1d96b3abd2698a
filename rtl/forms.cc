#include "rtl/forms.h"

#include <cstdio>
#include <cstdlib>

#include "platform/codepage.h"
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

bool TApplication::ProcessOne() {
  plat::Message m;
  if (!plat::PeekMessageRemove(&m)) return false;
  if (m.msg == plat::kWmQuit) {
    FTerminated = true;
  } else {
    plat::DispatchQueued(m);
  }
  return true;
}

void TApplication::ProcessMessages() {
  while (ProcessOne()) {
  }
}

void TApplication::HandleMessage() {
  if (FTerminated) return;
  if (!ProcessOne()) {
    plat::WaitForMessage();
    ProcessMessages();
  }
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
