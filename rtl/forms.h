// The application object: the main thread's message pump, the terminate flag
// and the general error report for errors nobody caught.
#pragma once

#include <functional>
#include <string>

class Exception;

// The message pump of the program, shared by the application object and by
// sockets that pump their own thread's queue. A stop request (PostQuit,
// Ctrl-C) is a flag checked before each message, and WM_QUIT is never
// dispatched: a pump stops at either and reports it to its caller. So a
// queue that never runs dry (a peer that sends without pause keeps posting)
// cannot keep a quit from being seen, nor delay it.
enum class TPumped { Nothing, Message, Quit };
// Takes the next message of the calling thread's queue, if any, and
// dispatches it unless it is WM_QUIT.
TPumped PumpMessage();
// Pumps until the queue is empty or WM_QUIT is taken; returns whether it was.
bool PumpWaitingMessages();
// Pumps one message if one is waiting; otherwise blocks until one is
// (without spinning) and pumps as PumpWaitingMessages does. Returns whether
// WM_QUIT was taken.
bool WaitAndPumpMessages();

class TApplication {
 public:
  // Dispatches every message waiting in the main thread's queue, then
  // returns. WM_QUIT is not dispatched: it sets Terminated, and the
  // messages behind it wait for the next call.
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
  bool FTerminated = false;
};

extern TApplication* Application;

// Ends the process at once with the given exit code, without clean-up.
[[noreturn]] void Halt(int code);
