#include "platform/messages.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/posix/loop.h"

namespace plat {
namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
  WindowHandle window;
  std::uintptr_t id;
  Clock::duration period;
  Clock::time_point due;
  bool queued;  // its message waits in the queue: no second one
};

struct Queue {
  Queue() {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wakeFd;
    epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &ev);
  }
  std::mutex mu;
  std::deque<Message> messages;
  bool sleeping = false;
  int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  int epollFd = epoll_create1(EPOLL_CLOEXEC);
  std::thread::id mainThread = std::this_thread::get_id();
  // Windows are created and used on the main thread only.
  std::unordered_map<WindowHandle, MessageTarget*> windows;
  WindowHandle nextWindow = 0x100;
  posix::EventSource* source = nullptr;
  // Messages to hand out before the network is asked again: those that were
  // queued when it was last asked, so that every socket's turn comes once
  // per pass and a message that keeps posting itself cannot starve the
  // network; at least a few, so that such a message does not make every
  // turn a system call.
  std::size_t untilPoll = 0;
  // Timers belong to the main thread's windows and are only touched there.
  std::vector<Timer> timers;
};

std::atomic<bool> quitRequested{false};
std::atomic<bool> stopRequested{false};  // a signal came: never cleared
void (*exceptionHandler)(const std::exception&) = nullptr;

Queue& Q() {
  static Queue* q = new Queue;  // lives until the process ends
  return *q;
}

void DrainWakeFd(int fd) {
  std::uint64_t v;
  while (read(fd, &v, sizeof v) > 0) {
  }
}

// Milliseconds until the first timer is due (rounded up, so that the wait
// does not end just before it), or -1 when there is none to wait for.
int MsUntilNextTimer(Queue& q) {
  int best = -1;
  Clock::time_point now = Clock::now();
  for (const Timer& t : q.timers) {
    if (t.queued) continue;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(t.due - now).count();
    int ms = left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 0x7FFFFFFF));
    if (best < 0 || ms < best) best = ms;
  }
  return best;
}

void PostDueTimers(Queue& q) {
  Clock::time_point now = Clock::now();
  for (Timer& t : q.timers) {
    if (t.queued || t.due > now) continue;
    t.queued = true;
    t.due = now + t.period;
    std::lock_guard<std::mutex> lock(q.mu);
    q.messages.push_back(Message{t.window, kWmTimer, t.id, 0});
  }
}

constexpr int kEventsPerWait = 512;
constexpr std::size_t kMinTurnsBetweenPolls = 64;

// One wait in epoll; produces socket notifications and due timers' messages.
void PollOnce(int timeoutMs) {
  Queue& q = Q();
  int timerMs = MsUntilNextTimer(q);
  if (timerMs >= 0 && (timeoutMs < 0 || timerMs < timeoutMs)) timeoutMs = timerMs;
  if (timeoutMs != 0) {
    std::lock_guard<std::mutex> lock(q.mu);
    if (!q.messages.empty() || quitRequested.load()) {
      timeoutMs = 0;
    } else {
      q.sleeping = true;
    }
  }
  epoll_event events[kEventsPerWait];
  int n = epoll_wait(q.epollFd, events, kEventsPerWait, timeoutMs);
  if (timeoutMs != 0) {
    std::lock_guard<std::mutex> lock(q.mu);
    q.sleeping = false;
  }
  int kept = 0;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.fd == q.wakeFd) {
      DrainWakeFd(q.wakeFd);
    } else {
      events[kept++] = events[i];
    }
  }
  if (kept > 0 && q.source != nullptr) q.source->Handle(events, kept);
  if (!q.timers.empty()) PostDueTimers(q);
  std::lock_guard<std::mutex> lock(q.mu);
  q.untilPoll = std::max(q.messages.size(), kMinTurnsBetweenPolls);
}

void OnSignal(int) {
  int saved = errno;  // the interrupted code may be about to read it
  stopRequested.store(true);
  quitRequested.store(true);
  posix::Wake();
  errno = saved;
}

// A program started with standard input, output or error closed would hand
// those numbers to the first descriptors it opens (the queue's wake-up
// descriptor, an article file), and its output would go into them. So
// before anything else runs, even static constructors, each closed one is
// opened on /dev/null. This file is part of every program that has a
// message loop, which is why it is done here.
__attribute__((constructor(101))) void OpenClosedStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    // open takes the lowest free number, which is this one; anything
    // else (a descriptor already above it) is not ours to keep.
    if (opened >= 0 && opened != fd) close(opened);
  }
}

}  // namespace

namespace posix {

void SetEventSource(EventSource* source) { Q().source = source; }

int LoopEpollFd() { return Q().epollFd; }

void Wake() {
  std::uint64_t one = 1;
  ssize_t r = write(Q().wakeFd, &one, sizeof one);
  (void)r;
}

std::size_t RemoveQueued(const std::function<bool(const Message&)>& match) {
  Queue& q = Q();
  std::lock_guard<std::mutex> lock(q.mu);
  return std::erase_if(q.messages, match);
}

bool IsMainThread() { return std::this_thread::get_id() == Q().mainThread; }

}  // namespace posix

WindowHandle CreateHiddenWindow(const char*, MessageTarget* target) {
  Queue& q = Q();
  WindowHandle w = q.nextWindow++;
  q.windows[w] = target;
  return w;
}

void DestroyHiddenWindow(WindowHandle window) {
  Queue& q = Q();
  q.windows.erase(window);
  std::erase_if(q.timers, [&](const Timer& t) { return t.window == window; });
}

std::intptr_t DefaultMessageResult(WindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t) {
  return 0;
}

bool PostWindowMessage(WindowHandle window, std::uint32_t msg, std::uintptr_t wParam,
                       std::intptr_t lParam) {
  if (window == 0) return false;
  Queue& q = Q();
  bool wake;
  {
    std::lock_guard<std::mutex> lock(q.mu);
    q.messages.push_back(Message{window, msg, wParam, lParam});
    wake = q.sleeping;
  }
  if (wake) posix::Wake();
  return true;
}

void PostQuit() {
  quitRequested.store(true);
  posix::Wake();
}

void RemoveQueuedMessages(WindowHandle window, std::uint32_t msg) {
  posix::RemoveQueued([&](const Message& m) { return m.window == window && m.msg == msg; });
}

bool TakeStopRequest() { return quitRequested.exchange(false); }

bool PeekMessageRemove(Message* out) {
  Queue& q = Q();
  bool poll;
  {
    std::lock_guard<std::mutex> lock(q.mu);
    poll = q.messages.empty() || q.untilPoll == 0;
  }
  // Socket events are produced by the wait: ask when the queue runs dry, and
  // once a pass while it does not (see untilPoll).
  if (poll) PollOnce(0);
  {
    std::lock_guard<std::mutex> lock(q.mu);
    if (q.messages.empty()) return false;
    *out = q.messages.front();
    q.messages.pop_front();
    if (q.untilPoll > 0) --q.untilPoll;
  }
  if (out->msg == kWmTimer) {
    for (Timer& t : q.timers) {
      if (t.window == out->window && t.id == out->wParam) t.queued = false;
    }
  }
  return true;
}

void DispatchQueued(const Message& message) {
  Queue& q = Q();
  auto it = q.windows.find(message.window);
  if (it == q.windows.end() || it->second == nullptr) return;
  try {
    it->second->HandleMessage(message.msg, message.wParam, message.lParam);
  } catch (const std::exception& e) {
    if (exceptionHandler != nullptr) exceptionHandler(e);
  }
}

void SetDispatchExceptionHandler(void (*handler)(const std::exception& e)) {
  exceptionHandler = handler;
}

bool SetWindowTimer(WindowHandle window, std::uintptr_t id, unsigned ms) {
  Queue& q = Q();
  if (q.windows.find(window) == q.windows.end()) return false;
  Clock::duration period = std::chrono::milliseconds(std::max(ms, 1u));
  for (Timer& t : q.timers) {
    if (t.window == window && t.id == id) {
      t.period = period;
      t.due = Clock::now() + period;
      return true;
    }
  }
  q.timers.push_back(Timer{window, id, period, Clock::now() + period, false});
  return true;
}

void KillWindowTimer(WindowHandle window, std::uintptr_t id) {
  std::erase_if(Q().timers, [&](const Timer& t) { return t.window == window && t.id == id; });
}

bool WaitForMessage(int timeoutMs) {
  Queue& q = Q();
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(q.mu);
      if (!q.messages.empty()) return true;
    }
    if (quitRequested.load()) return true;
    if (timeoutMs == 0) return false;
    // A bounded wait may end early on a wake-up that produced nothing; the
    // callers re-check their own conditions, so that is harmless.
    PollOnce(timeoutMs);
    if (timeoutMs > 0) {
      std::lock_guard<std::mutex> lock(q.mu);
      return !q.messages.empty() || quitRequested.load();
    }
  }
}

void InstallQuitOnInterrupt() {
  // The handler wakes the queue; made here, so that a signal arriving before
  // the first window exists does not make the handler allocate it.
  Q();
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool StopRequested() { return stopRequested.load(); }

}  // namespace plat
