#include "platform/messages.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/posix/loop.h"

namespace plat {
namespace {

struct Queue {
  std::mutex mu;
  std::deque<Message> messages;
  bool sleeping = false;
  int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  std::thread::id mainThread = std::this_thread::get_id();
  // Windows are created and used on the main thread only.
  std::unordered_map<WindowHandle, MessageTarget*> windows;
  WindowHandle nextWindow = 0x100;
  posix::PollSource* source = nullptr;
  unsigned sincePoll = 0;
};

std::atomic<bool> quitRequested{false};
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

// One pass of poll(); produces socket notifications and the quit message.
void PollOnce(int timeoutMs) {
  Queue& q = Q();
  std::vector<pollfd> fds;
  fds.push_back({q.wakeFd, POLLIN, 0});
  bool urgent = q.source && q.source->Collect(&fds);
  if (urgent) timeoutMs = 0;
  if (timeoutMs != 0) {
    std::lock_guard<std::mutex> lock(q.mu);
    if (!q.messages.empty() || quitRequested.load()) {
      timeoutMs = 0;
    } else {
      q.sleeping = true;
    }
  }
  int n = poll(fds.data(), fds.size(), timeoutMs);
  if (timeoutMs != 0) {
    std::lock_guard<std::mutex> lock(q.mu);
    q.sleeping = false;
  }
  if (n > 0 && (fds[0].revents & POLLIN)) DrainWakeFd(q.wakeFd);
  if (q.source && fds.size() > 1 && (n > 0 || urgent)) q.source->Handle(&fds[1], fds.size() - 1);
  if (quitRequested.exchange(false)) {
    std::lock_guard<std::mutex> lock(q.mu);
    q.messages.push_back(Message{0, kWmQuit, 0, 0});
  }
  q.sincePoll = 0;
}

void OnSignal(int) {
  quitRequested.store(true);
  posix::Wake();
}

}  // namespace

namespace posix {

void SetPollSource(PollSource* source) { Q().source = source; }

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

void DestroyHiddenWindow(WindowHandle window) { Q().windows.erase(window); }

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

bool PeekMessageRemove(Message* out) {
  Queue& q = Q();
  bool empty;
  {
    std::lock_guard<std::mutex> lock(q.mu);
    empty = q.messages.empty();
  }
  // Socket events are produced by polling; do it when the queue runs dry and
  // now and then while it does not, so that posted messages cannot starve
  // the network.
  if (empty || ++q.sincePoll >= 64 || quitRequested.load()) PollOnce(0);
  std::lock_guard<std::mutex> lock(q.mu);
  if (q.messages.empty()) return false;
  *out = q.messages.front();
  q.messages.pop_front();
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

bool WaitForMessage(int timeoutMs) {
  Queue& q = Q();
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(q.mu);
      if (!q.messages.empty()) return true;
    }
    if (quitRequested.load()) {
      PollOnce(0);
      continue;
    }
    if (timeoutMs == 0) return false;
    // A bounded wait may end early on a wake-up that produced nothing; the
    // callers re-check their own conditions, so that is harmless.
    PollOnce(timeoutMs);
    if (timeoutMs > 0) {
      std::lock_guard<std::mutex> lock(q.mu);
      return !q.messages.empty();
    }
  }
}

void InstallQuitOnInterrupt() {
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace plat
