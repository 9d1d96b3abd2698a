// Hidden notification windows and the main thread's message queue.
//
// A hidden window is a handle that routes every message posted to it to one
// target object. Messages are taken from the queue one by one by the thread
// that owns the windows (the main thread); posting is allowed from any thread.
#pragma once

#include <cstdint>
#include <exception>

namespace plat {

using WindowHandle = std::uintptr_t;  // 0 is "no window"

constexpr std::uint32_t kWmQuit = 0x0012;
constexpr std::uint32_t kWmTimer = 0x0113;
constexpr std::uint32_t kWmUser = 0x0400;

struct Message {
  WindowHandle window = 0;
  std::uint32_t msg = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
};

class MessageTarget {
 public:
  virtual std::intptr_t HandleMessage(std::uint32_t msg, std::uintptr_t wParam,
                                      std::intptr_t lParam) = 0;

 protected:
  ~MessageTarget() = default;
};

// Creates a hidden window of the given class; the class is registered on
// first use. Returns 0 when the window cannot be created.
WindowHandle CreateHiddenWindow(const char* className, MessageTarget* target);
// Detaches the target first, so that nothing reaches an object being torn down.
void DestroyHiddenWindow(WindowHandle window);
// The platform's default handling of a message the target does not know.
std::intptr_t DefaultMessageResult(WindowHandle window, std::uint32_t msg, std::uintptr_t wParam,
                                   std::intptr_t lParam);

// Appends a message to the queue of the window's thread; safe from any thread.
// A message for a window destroyed before it is dispatched is dropped.
bool PostWindowMessage(WindowHandle window, std::uint32_t msg, std::uintptr_t wParam,
                       std::intptr_t lParam);
// Removes every message `msg` waiting in the queue for the window. Main
// thread only.
void RemoveQueuedMessages(WindowHandle window, std::uint32_t msg);
// Asks the main loop to stop: sets the stop flag and wakes a waiting loop.
// The flag is not a message behind the others: every pump checks it before
// it takes the next message, so a queue full of socket notifications cannot
// hold a stop back. Safe from any thread, a signal handler and the console
// control handler.
void PostQuit();
// Whether a stop was asked for, clearing the request: each request is taken
// once, by the pump that sees it.
bool TakeStopRequest();

// Takes the next message of the calling thread's queue without waiting.
// WM_QUIT is returned like any other message; the caller decides.
bool PeekMessageRemove(Message* out);
void DispatchQueued(const Message& message);
// Blocks until a message is waiting or a stop was asked for (or the timeout,
// in milliseconds, passed; negative waits for ever). Never spins. Returns
// whether a message or a stop request is waiting.
bool WaitForMessage(int timeoutMs = -1);

// Starts a timer that posts kWmTimer (wParam `id`, lParam 0) to the window
// once `ms` milliseconds have passed, and again every `ms` milliseconds until
// it is killed or the window destroyed; setting a running timer again starts
// its period anew. As with Windows timers, at most one of its messages waits
// in the queue at a time, and the message may still arrive after the kill.
// Main thread only. Returns false when no timer could be made.
bool SetWindowTimer(WindowHandle window, std::uintptr_t id, unsigned ms);
void KillWindowTimer(WindowHandle window, std::uintptr_t id);

// Where an exception that escapes a window's target goes. It must not
// unwind through the system's message dispatch (on Windows that ends the
// process), so the window procedure catches it and hands it here; without a
// handler it is dropped.
void SetDispatchExceptionHandler(void (*handler)(const std::exception& e));

// Makes Ctrl-C (and, on POSIX, SIGTERM) ask for a stop (PostQuit). On
// POSIX it also ignores SIGPIPE: writing to a closed standard output then
// fails quietly instead of ending the program, whose exit code must still
// tell the outcome.
void InstallQuitOnInterrupt();
// Whether Ctrl-C (or, on POSIX, SIGTERM) has come since the handler was
// installed; it stays set. Long local work that runs outside the message
// loop (reading a pipe) asks this between steps, and on POSIX a read that
// a signal interrupts then fails instead of waiting on.
bool StopRequested();

}  // namespace plat
