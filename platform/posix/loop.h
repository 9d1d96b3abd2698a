// Internals of the POSIX emulation shared by the message queue and the socket
// emulation: the queue waits in epoll on the descriptors the event source
// keeps there, so socket notifications are produced by the same wait, and a
// wait costs what the ready descriptors cost, not what all of them do.
#pragma once

#include <sys/epoll.h>

#include <functional>

#include "platform/messages.h"

namespace plat::posix {

class EventSource {
 public:
  // The descriptors that epoll found ready, the loop's own wake-up
  // descriptor left out; called on the main thread after each wait.
  virtual void Handle(const epoll_event* events, int count) = 0;

 protected:
  ~EventSource() = default;
};

void SetEventSource(EventSource* source);
// The loop's epoll instance: a source adds, changes and removes its
// descriptors there itself (epoll_ctl is safe from any thread), with the
// descriptor number as the event's data.
int LoopEpollFd();
// Wakes a thread blocked in the loop; async-signal-safe.
void Wake();
// Removes queued messages that match and returns how many; used to retract
// a done message or a closed socket's notifications.
std::size_t RemoveQueued(const std::function<bool(const Message&)>& match);
bool IsMainThread();

}  // namespace plat::posix
