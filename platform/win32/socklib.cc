#include "platform/socklib.h"

#include "platform/win32/win.h"

namespace plat {

void* SocketLibraryLoad(const char* name) { return reinterpret_cast<void*>(LoadLibraryA(name)); }

void* SocketLibraryProc(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void SocketLibraryFree(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

bool AsyncLookupCancelIsFinal() { return false; }

// Windows has no TCP_CORK; the sender's own segmentation has to do.
void SetCork(TSocket, bool) {}

void AckPromptly(TSocket s) {
  // WSAIoctl lives in ws2_32, which the program does not link; wine answers
  // WSAEOPNOTSUPP, and an older Windows the same.
  using Ioctl =
      int(WINAPI*)(std::uintptr_t, DWORD, void*, DWORD, void*, DWORD, DWORD*, void*, void*);
  static const auto ioctl =
      reinterpret_cast<Ioctl>(SocketLibraryProc(SocketLibraryLoad("ws2_32.dll"), "WSAIoctl"));
  constexpr DWORD kSetAckFrequency = 0x98000017;  // SIO_TCP_SET_ACK_FREQUENCY
  // Asked after every read of a TLS socket: where it is not offered, once
  // is enough to know.
  static bool offered = true;
  if (ioctl == nullptr || !offered) return;
  DWORD every = 1;
  DWORD returned = 0;
  offered = ioctl(s, kSetAckFrequency, &every, sizeof every, nullptr, 0, &returned, nullptr,
                  nullptr) == 0;
}

long UnsentBytes(TSocket) { return -1; }

// Sixty-four kilobytes drain in a moment at any usable rate, yet keep a
// full window in flight on a local network.
int SendBacklogLimit() { return 64 * 1024; }

// Windows Sockets 2 takes this value as "as long as the system allows".
int ListenBacklogMax() { return 0x7FFFFFFF; }

bool ConnectionWaiting(TSocket listener) {
  // select of the library the program binds (ws2_32), with its own fd_set
  // layout: a count, then the handles.
  struct Set {
    unsigned count;
    std::uintptr_t handles[1];
  };
  struct Time {
    long sec, usec;
  };
  using Select = int(WINAPI*)(int, Set*, Set*, Set*, const Time*);
  static const auto select =
      reinterpret_cast<Select>(SocketLibraryProc(SocketLibraryLoad("ws2_32.dll"), "select"));
  if (select == nullptr) return true;  // cannot tell: let the handler try
  Set readable{1, {listener}};
  Time now{0, 0};
  return select(0, &readable, nullptr, nullptr, &now) > 0;
}

}  // namespace plat
