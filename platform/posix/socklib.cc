// The socket library emulation: BSD sockets underneath, Windows Sockets
// numbering and WSAAsyncSelect notifications produced by the message loop.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <vector>

#include "platform/files.h"
#include "platform/posix/loop.h"
#include "platform/posix/socklib_internal.h"

namespace plat::posix {
namespace {

thread_local int wsaError = 0;

int Fail() {
  wsaError = WsaFromErrno(errno);
  return kSocketError;
}

// What WSAAsyncSelect asked for, and which notifications are armed. Windows
// re-arms a notification only when the application calls the matching
// function (recv for FD_READ, a send that would block for FD_WRITE, accept
// for FD_ACCEPT), and so does this. The kernel keeps each socket's interest
// (epoll, level-triggered): it is changed only when what the socket may be
// told changes, so a wait costs the ready sockets only.
struct Registration {
  WindowHandle window = 0;
  unsigned msg = 0;
  long mask = 0;
  std::uint32_t kernel = 0;  // the interest epoll holds now
  bool used = false;         // the descriptor is one of ours
  bool inEpoll = false;
  bool datagram = false;
  bool listening = false;
  bool connecting = false;
  bool connected = false;
  bool readArmed = true;
  // Readable was reported while FD_READ was not armed: the interest in it is
  // given up until recv re-arms it. Until then it stays, so that a read in
  // step with the notifications (the usual case) changes nothing in the
  // kernel.
  bool readParked = false;
  bool writeArmed = false;
  bool acceptArmed = true;
  bool acceptParked = false;
  bool peerClosed = false;  // the peer sends no more: readable may mean only that
  bool closeSent = false;
  bool endOfData = false;  // nothing more can ever be read
  bool dead = false;       // the connection is gone both ways: no interest
};

std::mutex regMu;
// By descriptor number: numbers are small and reused, so a table beats a map.
std::vector<Registration> regs;
// Listeners whose accept failed for want of descriptors or memory: the
// connection stays ready in the kernel, so a listener left in the set would
// be told of it, fail, and be told again, a spin for as long as the
// shortage lasts. They wait until a socket is closed.
std::vector<int> starvedListeners;

int Fd(TSocket s) { return static_cast<int>(s); }

// Addresses cross the seam in the Windows layout. IPv4 and IPv6 records are
// laid out as the C library's are; only the number of the IPv6 family
// differs, so an address is copied and that number changed.
bool ToSystemAddress(const TSockAddr* addr, int len, sockaddr_storage& out, socklen_t& outLen) {
  if (addr == nullptr || len < static_cast<int>(sizeof(TSockAddr)) ||
      static_cast<std::size_t>(len) > sizeof out) {
    wsaError = WSAEFAULT;
    return false;
  }
  std::memcpy(&out, addr, static_cast<std::size_t>(len));
  outLen = static_cast<socklen_t>(len);
  if (addr->sa_family == kAfInet6) {
    if (len < static_cast<int>(sizeof(TSockAddrIn6))) {
      wsaError = WSAEFAULT;
      return false;
    }
    out.ss_family = AF_INET6;
    outLen = sizeof(sockaddr_in6);
  }
  return true;
}

// Copies a system address back into the caller's record of `*len` bytes;
// one too small for it fails with WSAEFAULT, as Windows does.
bool FromSystemAddress(const sockaddr_storage& in, socklen_t inLen, TSockAddr* addr, int* len) {
  if (addr == nullptr || len == nullptr) return true;
  if (*len < static_cast<int>(inLen)) {
    wsaError = WSAEFAULT;
    return false;
  }
  std::memcpy(addr, &in, inLen);
  if (in.ss_family == AF_INET6) addr->sa_family = kAfInet6;
  *len = static_cast<int>(inLen);
  return true;
}

Registration* Find(int fd) {
  if (fd < 0 || static_cast<std::size_t>(fd) >= regs.size() || !regs[fd].used) return nullptr;
  return &regs[fd];
}

Registration& Make(int fd) {
  if (static_cast<std::size_t>(fd) >= regs.size())
    regs.resize(std::max<std::size_t>(static_cast<std::size_t>(fd) + 1, regs.size() * 2));
  regs[fd] = Registration{};
  regs[fd].used = true;
  return regs[fd];
}

void Post(const Registration& r, int fd, std::uint16_t event, int error) {
  if ((r.mask & event) == 0 || r.window == 0) return;
  PostWindowMessage(r.window, r.msg, static_cast<std::uintptr_t>(fd),
                    PackNotification(event, static_cast<std::uint16_t>(error)));
}

int SocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

std::uint32_t Interest(const Registration& r) {
  if (r.mask == 0 || r.window == 0 || r.dead) return 0;
  if (r.connecting) return EPOLLOUT;
  if (r.listening)
    return (r.mask & kFdAccept) && !r.acceptParked ? static_cast<std::uint32_t>(EPOLLIN) : 0u;
  if (!r.connected && !r.datagram) return 0;
  std::uint32_t ev = 0;
  if ((r.mask & kFdRead) && !r.endOfData && !r.readParked) ev |= EPOLLIN;
  if ((r.mask & kFdClose) && !r.closeSent && !r.datagram) ev |= EPOLLRDHUP;
  if ((r.mask & kFdWrite) && r.writeArmed) ev |= EPOLLOUT;
  return ev;
}

// Brings the kernel's interest in line; a system call only when it changed.
void Sync(int fd, Registration& r) {
  std::uint32_t want = Interest(r);
  if (r.inEpoll && want == r.kernel) return;
  if (want == 0) {
    // Kept with no events, epoll would still report a hang-up for ever.
    if (r.inEpoll) ::epoll_ctl(LoopEpollFd(), EPOLL_CTL_DEL, fd, nullptr);
    r.inEpoll = false;
    r.kernel = 0;
    return;
  }
  epoll_event ev{};
  ev.events = want;
  ev.data.fd = fd;
  if (::epoll_ctl(LoopEpollFd(), r.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) == 0) {
    r.inEpoll = true;
    r.kernel = want;
  }
}

class EpollSource : public EventSource {
 public:
  void Handle(const epoll_event* events, int count) override {
    std::lock_guard<std::mutex> lock(regMu);
    for (int i = 0; i < count; ++i) {
      int fd = events[i].data.fd;
      Registration* r = Find(fd);
      if (r == nullptr) {
        // Closed meanwhile by another thread: the kernel forgot it with it.
        continue;
      }
      HandleOne(fd, *r, events[i].events);
      Sync(fd, *r);
    }
  }

 private:
  static void HandleOne(int fd, Registration& r, std::uint32_t re) {
    if (r.mask == 0 || r.window == 0) return;
    if (r.connecting) {
      if ((re & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return;
      int err = SocketError(fd);
      r.connecting = false;
      if (err == 0) {
        r.connected = true;
        r.writeArmed = true;  // Windows follows FD_CONNECT with FD_WRITE
      } else {
        r.dead = true;
      }
      Post(r, fd, kFdConnect, err == 0 ? 0 : WsaFromErrno(err));
      return;
    }
    if (r.listening) {
      if (re & EPOLLIN) {
        if (r.acceptArmed) {
          r.acceptArmed = false;
          Post(r, fd, kFdAccept, 0);
        } else {
          r.acceptParked = true;
        }
      }
      return;
    }
    bool closed = (re & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
    if (closed) r.peerClosed = true;
    if (re & EPOLLIN) {
      if (!r.readArmed || !(r.mask & kFdRead)) {
        r.readParked = true;
      } else if (r.datagram || !r.peerClosed) {
        // Readable on an open stream means bytes: no need to count them.
        r.readArmed = false;
        Post(r, fd, kFdRead, 0);
      } else {
        int waiting = 0;
        if (ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0) {
          r.readArmed = false;
          Post(r, fd, kFdRead, 0);
        } else {
          r.endOfData = true;  // readable with nothing to read: the peer is done
          closed = true;
        }
      }
    }
    if ((re & EPOLLOUT) && r.writeArmed && (r.mask & kFdWrite)) {
      r.writeArmed = false;
      Post(r, fd, kFdWrite, 0);
    }
    if (re & (EPOLLHUP | EPOLLERR)) r.dead = true;
    if (closed && !r.closeSent && !r.datagram) {
      r.closeSent = true;
      int err = SocketError(fd);
      Post(r, fd, kFdClose, err == 0 ? 0 : WsaFromErrno(err));
    }
  }
};

EpollSource epollSource;

template <typename F>
void WithRegistration(int fd, F f) {
  std::lock_guard<std::mutex> lock(regMu);
  if (Registration* r = Find(fd)) {
    f(*r);
    Sync(fd, *r);
  }
}

}  // namespace

// ---- the entry points -------------------------------------------------------

namespace emu {

int PLAT_WINAPI WSAStartup(std::uint16_t version, TWSAData* data) {
  if (data == nullptr) return WSAEFAULT;
  std::memset(data, 0, sizeof *data);
  data->wVersion = version;
  data->wHighVersion = 0x0101;
  std::snprintf(data->szDescription, sizeof data->szDescription, "Kestrun POSIX sockets");
  std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
  data->iMaxSockets = 32767;
  data->iMaxUdpDg = 65467;
  SetEventSource(&epollSource);
  return 0;
}

int PLAT_WINAPI WSACleanup() { return 0; }
void PLAT_WINAPI WSASetLastError(int error) { wsaError = error; }
int PLAT_WINAPI WSAGetLastError() { return wsaError; }

int PLAT_WINAPI WSAAsyncSelect(TSocket s, WindowHandle window, unsigned msg, long mask) {
  int fd = Fd(s);
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return Fail();
  if (mask != 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return Fail();
  {
    std::lock_guard<std::mutex> lock(regMu);
    Registration* found = Find(fd);
    Registration& r = found != nullptr ? *found : Make(fd);
    r.window = window;
    r.msg = msg;
    r.mask = mask;
    if (mask != 0) {
      r.readArmed = true;
      r.readParked = false;
      r.acceptArmed = true;
      r.acceptParked = false;
      // A connected stream can be written to at once: FD_WRITE is told now,
      // without asking the kernel (and changing its interest) twice.
      r.writeArmed = r.datagram;
      if (r.connected && !r.datagram && !r.dead && (mask & kFdWrite)) Post(r, fd, kFdWrite, 0);
    }
    Sync(fd, r);
  }
  return 0;
}

TSocket PLAT_WINAPI socket(int af, int type, int protocol) {
  if ((af != kAfInet && af != kAfInet6) || (type != kSockStream && type != kSockDgram)) {
    wsaError = af != kAfInet && af != kAfInet6 ? WSAEAFNOSUPPORT : WSAESOCKTNOSUPPORT;
    return kInvalidSocket;
  }
  int fd = ::socket(af == kAfInet6 ? AF_INET6 : AF_INET,
                    (type == kSockStream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    Fail();
    return kInvalidSocket;
  }
  std::lock_guard<std::mutex> lock(regMu);
  Make(fd).datagram = type == kSockDgram;
  return static_cast<TSocket>(fd);
}

int PLAT_WINAPI connect(TSocket s, const TSockAddr* addr, int len) {
  int fd = Fd(s);
  sockaddr_storage sa;
  socklen_t saLen;
  if (!ToSystemAddress(addr, len, sa, saLen)) return kSocketError;
  int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), saLen);
  int err = rc == 0 ? 0 : errno;
  bool async = false;
  WithRegistration(fd, [&](Registration& r) {
    if (r.datagram) {
      r.connected = rc == 0;
      return;
    }
    async = r.mask != 0;
    if (!async) {
      r.connected = rc == 0;
      return;
    }
    // Like Winsock, a non-blocking connect always "would block" and tells
    // its outcome through FD_CONNECT, also when it was settled at once.
    if (rc == 0 || err == EINPROGRESS) {
      r.connecting = true;
    } else if (err != EALREADY && err != EISCONN) {
      // Settled at once: told as it would be once the wait saw it.
      r.dead = true;
      Post(r, fd, kFdConnect, WsaFromErrno(err));
    } else {
      async = false;
    }
  });
  if (async) {
    wsaError = WSAEWOULDBLOCK;
    return kSocketError;
  }
  if (rc != 0) {
    errno = err;
    return Fail();
  }
  return 0;
}

int PLAT_WINAPI bind(TSocket s, const TSockAddr* addr, int len) {
  sockaddr_storage sa;
  socklen_t saLen;
  if (!ToSystemAddress(addr, len, sa, saLen)) return kSocketError;
  return ::bind(Fd(s), reinterpret_cast<const sockaddr*>(&sa), saLen) == 0 ? 0 : Fail();
}

int PLAT_WINAPI listen(TSocket s, int backlog) {
  if (::listen(Fd(s), backlog) != 0) return Fail();
  WithRegistration(Fd(s), [](Registration& r) { r.listening = true; });
  return 0;
}

TSocket PLAT_WINAPI accept(TSocket s, TSockAddr* addr, int* len) {
  int listener = Fd(s);
  sockaddr_storage sa{};
  socklen_t l = sizeof sa;
  int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&sa), &l, SOCK_CLOEXEC);
  int err = errno;
  std::lock_guard<std::mutex> lock(regMu);
  if (Registration* r = Find(listener)) {
    r->acceptArmed = true;
    r->acceptParked = false;
    if (fd < 0 && (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM)) {
      r->acceptParked = true;
      starvedListeners.push_back(listener);
    }
    Sync(listener, *r);
  }
  if (fd < 0) {
    errno = err;
    Fail();
    return kInvalidSocket;
  }
  if (addr != nullptr && len != nullptr) {
    // A record too small for the peer's address takes what fits, as the
    // system's accept does: the connection is not lost over it.
    if (sa.ss_family == AF_INET6) sa.ss_family = kAfInet6;
    std::memcpy(addr, &sa, std::min<std::size_t>(l, static_cast<std::size_t>(std::max(*len, 0))));
    *len = static_cast<int>(l);
  }
  Make(fd).connected = true;
  return static_cast<TSocket>(fd);
}

// Notifications already queued for the descriptor stay queued, as they do
// on Windows; the socket component drops them itself (descriptor numbers
// come back at once, so the next socket may well have the same one).
int PLAT_WINAPI closesocket(TSocket s) {
  int fd = Fd(s);
  {
    std::lock_guard<std::mutex> lock(regMu);
    if (Registration* r = Find(fd)) {
      // Explicitly: a copy of the descriptor (a child between fork and exec)
      // would keep it in the epoll set, and its events would be taken for
      // those of the next socket with this number.
      if (r->inEpoll) ::epoll_ctl(LoopEpollFd(), EPOLL_CTL_DEL, fd, nullptr);
      *r = Registration{};
    }
    // A descriptor is free again: a listener that ran short may accept.
    for (int starved : starvedListeners) {
      if (Registration* l = Find(starved); l != nullptr && l->listening) {
        l->acceptParked = false;
        Sync(starved, *l);
      }
    }
    starvedListeners.clear();
  }
  return ::close(fd) == 0 ? 0 : Fail();
}

int PLAT_WINAPI shutdown(TSocket s, int how) { return ::shutdown(Fd(s), how) == 0 ? 0 : Fail(); }

int PLAT_WINAPI setsockopt(TSocket s, int level, int name, const char* value, int len) {
  int fd = Fd(s);
  if (value == nullptr || len < 1) {
    wsaError = WSAEFAULT;
    return kSocketError;
  }
  int v = 0;
  std::memcpy(&v, value, std::min<std::size_t>(sizeof v, static_cast<std::size_t>(len)));
  if (level == kSolSocket && name == kSoLinger) {
    if (len < static_cast<int>(sizeof(TLinger))) {
      wsaError = WSAEFAULT;
      return kSocketError;
    }
    TLinger wl;
    std::memcpy(&wl, value, sizeof wl);
    linger l{wl.l_onoff != 0, wl.l_linger};
    return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : Fail();
  }
  int lvl, opt;
  if (level == kSolSocket) {
    lvl = SOL_SOCKET;
    switch (name) {
      case kSoReuseAddr:
        opt = SO_REUSEADDR;
        v = v != 0;
        break;
      case kSoKeepAlive:
        opt = SO_KEEPALIVE;
        v = v != 0;
        break;
      case kSoBroadcast:
        opt = SO_BROADCAST;
        v = v != 0;
        break;
      case kSoSndBuf:
        opt = SO_SNDBUF;
        break;
      case kSoRcvBuf:
        opt = SO_RCVBUF;
        break;
      default:
        wsaError = WSAENOPROTOOPT;
        return kSocketError;
    }
  } else if (level == kIpProtoTcp && name == kTcpNoDelay) {
    lvl = IPPROTO_TCP;
    opt = TCP_NODELAY;
    v = v != 0;
  } else if (level == kIpProtoIpv6 && name == kIpv6V6Only) {
    lvl = IPPROTO_IPV6;
    opt = IPV6_V6ONLY;
    v = v != 0;
  } else {
    wsaError = WSAENOPROTOOPT;
    return kSocketError;
  }
  return ::setsockopt(fd, lvl, opt, &v, sizeof v) == 0 ? 0 : Fail();
}

int PLAT_WINAPI getsockopt(TSocket s, int level, int name, char* value, int* len) {
  const bool v6only = level == kIpProtoIpv6 && name == kIpv6V6Only;
  if ((level != kSolSocket && !v6only) || value == nullptr || len == nullptr || *len < 4) {
    wsaError = WSAENOPROTOOPT;
    return kSocketError;
  }
  if (v6only) {
    int v = 0;
    socklen_t l = sizeof v;
    if (::getsockopt(Fd(s), IPPROTO_IPV6, IPV6_V6ONLY, &v, &l) != 0) return Fail();
    std::memcpy(value, &v, 4);
    *len = 4;
    return 0;
  }
  int opt = name == kSoSndBuf   ? SO_SNDBUF
            : name == kSoRcvBuf ? SO_RCVBUF
            : name == kSoError  ? SO_ERROR
                                : -1;
  if (opt < 0) {
    wsaError = WSAENOPROTOOPT;
    return kSocketError;
  }
  int v = 0;
  socklen_t l = sizeof v;
  if (::getsockopt(Fd(s), SOL_SOCKET, opt, &v, &l) != 0) return Fail();
  if (opt == SO_ERROR && v != 0) v = WsaFromErrno(v);
  std::memcpy(value, &v, 4);
  *len = 4;
  return 0;
}

namespace {

// A send that would block re-arms FD_WRITE, as on Windows.
int SendResult(int fd, ssize_t n) {
  if (n >= 0) return static_cast<int>(n);
  int err = errno;
  if (err == EAGAIN || err == EWOULDBLOCK)
    WithRegistration(fd, [](Registration& r) { r.writeArmed = true; });
  errno = err;
  return Fail();
}

int SendFlags(int flags) { return ((flags & kMsgOob) ? MSG_OOB : 0) | MSG_NOSIGNAL; }

}  // namespace

int PLAT_WINAPI send(TSocket s, const char* buf, int len, int flags) {
  ssize_t n;
  do {
    n = ::send(Fd(s), buf, static_cast<std::size_t>(len), SendFlags(flags));
  } while (n < 0 && errno == EINTR);
  return SendResult(Fd(s), n);
}

int PLAT_WINAPI sendto(TSocket s, const char* buf, int len, int flags, const TSockAddr* to,
                       int tolen) {
  sockaddr_storage sa;
  socklen_t saLen = 0;
  if (to != nullptr && !ToSystemAddress(to, tolen, sa, saLen)) return kSocketError;
  ssize_t n = ::sendto(Fd(s), buf, static_cast<std::size_t>(len), SendFlags(flags),
                       to != nullptr ? reinterpret_cast<const sockaddr*>(&sa) : nullptr, saLen);
  return SendResult(Fd(s), n);
}

int PLAT_WINAPI recv(TSocket s, char* buf, int len, int flags) {
  int fd = Fd(s);
  ssize_t n;
  do {
    n = ::recv(fd, buf, static_cast<std::size_t>(len), (flags & kMsgOob) ? MSG_OOB : 0);
  } while (n < 0 && errno == EINTR);
  int err = errno;
  WithRegistration(fd, [](Registration& r) {
    r.readArmed = true;
    r.readParked = false;
  });
  errno = err;
  return n < 0 ? Fail() : static_cast<int>(n);
}

int PLAT_WINAPI recvfrom(TSocket s, char* buf, int len, int flags, TSockAddr* from, int* fromlen) {
  int fd = Fd(s);
  sockaddr_storage sa{};
  socklen_t l = sizeof sa;
  ssize_t n = ::recvfrom(fd, buf, static_cast<std::size_t>(len), (flags & kMsgOob) ? MSG_OOB : 0,
                         reinterpret_cast<sockaddr*>(&sa), &l);
  int err = errno;
  WithRegistration(fd, [](Registration& r) {
    r.readArmed = true;
    r.readParked = false;
  });
  if (n < 0) {
    errno = err;
    return Fail();
  }
  if (from != nullptr && !FromSystemAddress(sa, l, from, fromlen)) return kSocketError;
  return static_cast<int>(n);
}

int PLAT_WINAPI ioctlsocket(TSocket s, long cmd, unsigned long* arg) {
  if (arg == nullptr) {
    wsaError = WSAEFAULT;
    return kSocketError;
  }
  if (cmd == kFionRead) {
    int n = 0;
    if (::ioctl(Fd(s), FIONREAD, &n) != 0) return Fail();
    *arg = static_cast<unsigned long>(n);
    return 0;
  }
  if (cmd == kFionBio) {
    int flags = ::fcntl(Fd(s), F_GETFL);
    if (flags < 0) return Fail();
    flags = *arg ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(Fd(s), F_SETFL, flags) == 0 ? 0 : Fail();
  }
  wsaError = WSAEINVAL;
  return kSocketError;
}

int PLAT_WINAPI getsockname(TSocket s, TSockAddr* addr, int* len) {
  sockaddr_storage sa{};
  socklen_t l = sizeof sa;
  if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&sa), &l) != 0) return Fail();
  return FromSystemAddress(sa, l, addr, len) ? 0 : kSocketError;
}

int PLAT_WINAPI getpeername(TSocket s, TSockAddr* addr, int* len) {
  sockaddr_storage sa{};
  socklen_t l = sizeof sa;
  if (::getpeername(Fd(s), reinterpret_cast<sockaddr*>(&sa), &l) != 0) return Fail();
  return FromSystemAddress(sa, l, addr, len) ? 0 : kSocketError;
}

std::uint16_t PLAT_WINAPI htons(std::uint16_t v) { return ::htons(v); }
std::uint16_t PLAT_WINAPI ntohs(std::uint16_t v) { return ::ntohs(v); }
std::uint32_t PLAT_WINAPI inet_addr(const char* text) {
  return text == nullptr ? kInaddrNone : ::inet_addr(text);
}
char* PLAT_WINAPI inet_ntoa(TInAddr a) {
  thread_local char buf[16];
  const auto* b = reinterpret_cast<const unsigned char*>(&a.S_addr);
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return buf;
}

}  // namespace emu

namespace {

struct Entry {
  const char* name;
  void* proc;
};

// The cast to the entry point's type makes an emulation function whose
// signature differs from the library's a compile error.
#define PLAT_EMU_ENTRY(name, result, params, args) \
  {#name, reinterpret_cast<void*>(static_cast<wsa::name>(&emu::name))},
const Entry kTable[] = {PLAT_SOCKET_ENTRY_POINTS(PLAT_EMU_ENTRY)};
#undef PLAT_EMU_ENTRY

// errno values to Windows Sockets numbers; anything not listed is an
// invalid argument.
constexpr int kMaxErrno = 256;
const auto kFromErrno = [] {
  std::array<std::uint16_t, kMaxErrno> map{};
  map.fill(WSAEINVAL);
#define PLAT_ERRNOS(...) __VA_ARGS__
#define PLAT_EMU_ERRNO(name, number, text, errnos)                       \
  for (int e : std::initializer_list<int>{PLAT_ERRNOS errnos}) {         \
    if (e > 0 && e < kMaxErrno) map[static_cast<std::size_t>(e)] = name; \
  }
  PLAT_SOCKET_ERRORS(PLAT_EMU_ERRNO)
#undef PLAT_EMU_ERRNO
#undef PLAT_ERRNOS
  return map;
}();

}  // namespace

void SetWsaError(int error) { wsaError = error; }
int GetWsaError() { return wsaError; }

int WsaFromErrno(int error) {
  if (error == 0) return 0;
  if (error < 0 || error >= kMaxErrno) return WSAEINVAL;
  return kFromErrno[static_cast<std::size_t>(error)];
}

int WsaFromResolver(int code) {
  switch (code) {
    case EAI_NONAME:
      return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
      return WSATRY_AGAIN;
    case EAI_FAIL:
      return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return WSANO_DATA;
#endif
    case EAI_MEMORY:
      return WSAENOBUFS;
    case EAI_FAMILY:
      return WSAEAFNOSUPPORT;
#ifdef EAI_ADDRFAMILY
    // The name has no address of the family asked for.
    case EAI_ADDRFAMILY:
      return WSANO_DATA;
#endif
    case EAI_SYSTEM:
      return WsaFromErrno(errno);
    default:
      return WSANO_RECOVERY;
  }
}

}  // namespace plat::posix

namespace plat {

// The emulation is the "library": the only name it answers to is the one a
// Windows program loads.
void* SocketLibraryLoad(const char* name) {
  if (name != nullptr && strcasecmp(name, "ws2_32.dll") == 0) {
    return const_cast<void*>(static_cast<const void*>(posix::kTable));
  }
  errno = ENOENT;
  return nullptr;
}

void* SocketLibraryProc(void* library, const char* name) {
  if (library != posix::kTable || name == nullptr) return nullptr;
  for (const posix::Entry& e : posix::kTable) {
    if (std::strcmp(e.name, name) == 0) return e.proc;
  }
  errno = ENOENT;
  return nullptr;
}

void SocketLibraryFree(void*) {}

bool AsyncLookupCancelIsFinal() { return true; }

long UnsentBytes(TSocket s) {
  int n = 0;
  return ::ioctl(static_cast<int>(s), SIOCOUTQ, &n) == 0 ? n : -1;
}

int SendBacklogLimit() { return 0; }

bool ConnectionWaiting(TSocket listener) {
  pollfd p{static_cast<int>(listener), POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

int ListenBacklogMax() {
  // listen() quietly takes the system's limit for anything above it; asked
  // for here so that the number a program reads back is the real one.
  static const int limit = [] {
    int v = 0;
    if (std::FILE* f = std::fopen("/proc/sys/net/core/somaxconn", "r")) {
      if (std::fscanf(f, "%d", &v) != 1) v = 0;
      std::fclose(f);
    }
    return v > 0 ? v : SOMAXCONN;
  }();
  return limit;
}

void AckPromptly(TSocket s) {
  int v = 1;
  ::setsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_QUICKACK, &v, sizeof v);
}

void SetCork(TSocket s, bool on) {
  int v = on ? 1 : 0;
  ::setsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_CORK, &v, sizeof v);
}

}  // namespace plat
