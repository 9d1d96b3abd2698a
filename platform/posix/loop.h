// Internals of the POSIX emulation shared by the message queue and the socket
// emulation: the queue waits in poll() on the descriptors a poll source
// offers, so socket notifications are produced by the same wait.
#pragma once

#include <poll.h>

#include <functional>
#include <vector>

#include "platform/messages.h"

namespace plat::posix {

class PollSource {
 public:
  // Appends the descriptors to watch; returns true when it has work that
  // must not wait (then the loop polls with a zero timeout).
  virtual bool Collect(std::vector<pollfd>* fds) = 0;
  // Called with the descriptors it appended, after poll() returned.
  virtual void Handle(const pollfd* fds, std::size_t count) = 0;

 protected:
  ~PollSource() = default;
};

void SetPollSource(PollSource* source);
// Wakes a thread blocked in the loop; async-signal-safe.
void Wake();
// Removes queued messages that match and returns how many; used to retract
// a done message or a closed socket's notifications.
std::size_t RemoveQueued(const std::function<bool(const Message&)>& match);
bool IsMainThread();

}  // namespace plat::posix
