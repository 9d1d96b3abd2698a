// The application object: the main thread's message pump, the terminate flag
// and the general error report for errors nobody caught.
#pragma once

#include <functional>
#include <string>

class Exception;

class TApplication {
 public:
  // Dispatches every message waiting in the main thread's queue, then
  // returns. WM_QUIT is not dispatched: it sets Terminated.
  void ProcessMessages();
  // Blocks until a message arrives (without spinning), then processes what
  // is waiting. Returns at once when Terminated is already set.
  void HandleMessage();
  bool Terminated() const { return FTerminated; }
  void Terminate();

  // Writes the message of an uncaught error as one console line.
  void ShowException(const std::exception& e);
  // Runs the program body; an exception that escapes it is reported with
  // ShowException and ends the process with exit code 1.
  int Run(const std::function<int()>& body);

  // Where the error report writes; the program points it at its console
  // writer so that the report is converted like every other line.
  std::function<void(const std::string&)> ErrorWriter;

 private:
  bool ProcessOne();
  bool FTerminated = false;
};

extern TApplication* Application;

// Ends the process at once with the given exit code, without clean-up.
[[noreturn]] void Halt(int code);
