// Name, service and protocol resolution of the socket library emulation.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/posix/loop.h"
#include "platform/posix/socklib_internal.h"

namespace plat::posix {
namespace {

// Windows ships its own services and protocol tables, so a Windows program
// finds "nntp" on any machine; the emulation carries the common part of them
// and falls back to the system's tables for the rest.
struct Service {
  const char* name;
  int port;
  const char* proto;
};
const Service kServices[] = {
    {"echo", 7, "tcp"},     {"echo", 7, "udp"},     {"discard", 9, "tcp"},   {"discard", 9, "udp"},
    {"daytime", 13, "tcp"}, {"daytime", 13, "udp"}, {"ftp-data", 20, "tcp"}, {"ftp", 21, "tcp"},
    {"ssh", 22, "tcp"},     {"telnet", 23, "tcp"},  {"smtp", 25, "tcp"},     {"time", 37, "tcp"},
    {"time", 37, "udp"},    {"domain", 53, "tcp"},  {"domain", 53, "udp"},   {"http", 80, "tcp"},
    {"www", 80, "tcp"},     {"pop3", 110, "tcp"},   {"nntp", 119, "tcp"},    {"usenet", 119, "tcp"},
    {"ntp", 123, "udp"},    {"imap", 143, "tcp"},   {"snmp", 161, "udp"},    {"ldap", 389, "tcp"},
    {"https", 443, "tcp"},  {"nntps", 563, "tcp"},  {"socks", 1080, "tcp"},
};
struct Protocol {
  const char* name;
  int number;
};
const Protocol kProtocols[] = {{"ip", 0},       {"icmp", 1}, {"ggp", 3},   {"tcp", 6},
                               {"egp", 8},      {"pup", 12}, {"udp", 17},  {"hmp", 20},
                               {"xns-idp", 22}, {"rdp", 27}, {"ipv6", 41}, {"rvd", 66}};

bool SameName(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

struct HostResult {
  int error = 0;
  std::string name;
  std::vector<std::uint32_t> addresses;  // network order
};

HostResult ResolveName(const char* name) {
  HostResult r;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(name, nullptr, &hints, &list);
  if (rc != 0) {
    r.error = WsaFromResolver(rc);
    return r;
  }
  r.name = list->ai_canonname ? list->ai_canonname : name;
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    std::uint32_t v = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (std::uint32_t x : r.addresses) seen = seen || x == v;
    if (!seen) r.addresses.push_back(v);
  }
  freeaddrinfo(list);
  if (r.addresses.empty()) r.error = WSAHOST_NOT_FOUND;
  return r;
}

HostResult ResolveAddress(std::uint32_t address) {
  HostResult r;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  char host[NI_MAXHOST];
  int rc = getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0,
                       NI_NAMEREQD);
  if (rc != 0) {
    r.error = WsaFromResolver(rc);
    return r;
  }
  r.name = host;
  r.addresses.push_back(address);
  return r;
}

// Writes a host entry with all its pointers into the caller's area, the way
// the asynchronous lookups of Windows do. Returns the size it needs.
int WriteHostEnt(const HostResult& r, char* buf, int buflen) {
  std::size_t n = r.addresses.size();
  std::size_t need =
      sizeof(THostEnt) + sizeof(char*) + (n + 1) * sizeof(char*) + 4 * n + r.name.size() + 1;
  if (need > static_cast<std::size_t>(buflen)) return static_cast<int>(need);
  auto* he = reinterpret_cast<THostEnt*>(buf);
  char** aliases = reinterpret_cast<char**>(buf + sizeof(THostEnt));
  char** list = aliases + 1;
  char* addrs = reinterpret_cast<char*>(list + n + 1);
  char* name = addrs + 4 * n;
  aliases[0] = nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    std::memcpy(addrs + 4 * i, &r.addresses[i], 4);
    list[i] = addrs + 4 * i;
  }
  list[n] = nullptr;
  std::memcpy(name, r.name.c_str(), r.name.size() + 1);
  he->h_name = name;
  he->h_aliases = aliases;
  he->h_addrtype = kAfInet;
  he->h_length = 4;
  he->h_addr_list = list;
  return static_cast<int>(need);
}

struct Lookup {
  WindowHandle window;
  unsigned msg;
  char* buf;
  int buflen;
};

// Pending lookups by handle. A worker writes into the caller's area only
// while its lookup is still here, under the lock, so a cancelled lookup
// (also one cancelled by a destructor) never touches memory again.
std::mutex lookupMu;
std::unordered_map<std::uintptr_t, Lookup> pending;
// Far above any descriptor number, so that a done message cannot be taken
// for a socket notification when a cancelled one is retracted.
constexpr std::uintptr_t kFirstHandle = 0x10000000;
std::uintptr_t nextHandle = kFirstHandle;

template <typename Resolve>
std::uintptr_t StartLookup(WindowHandle window, unsigned msg, char* buf, int buflen,
                           Resolve resolve) {
  std::uintptr_t handle;
  {
    std::lock_guard<std::mutex> lock(lookupMu);
    handle = nextHandle++;
    if (nextHandle == 0) nextHandle = kFirstHandle;
    pending[handle] = Lookup{window, msg, buf, buflen};
  }
  try {
    std::thread([handle, resolve] {
      HostResult r = resolve();
      std::lock_guard<std::mutex> lock(lookupMu);
      auto it = pending.find(handle);
      if (it == pending.end()) return;
      Lookup l = it->second;
      pending.erase(it);
      int size = 0, error = r.error;
      if (error == 0) {
        size = WriteHostEnt(r, l.buf, l.buflen);
        if (size > l.buflen) error = WSAENOBUFS;
      }
      PostWindowMessage(
          l.window, l.msg, handle,
          PackNotification(static_cast<std::uint16_t>(size), static_cast<std::uint16_t>(error)));
    }).detach();
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(lookupMu);
    pending.erase(handle);
    SetWsaError(WSAENOBUFS);
    return 0;
  }
  return handle;
}

thread_local struct {
  THostEnt entry;
  char* aliases[1];
  char* list[36];
  std::uint32_t addresses[35];
  char name[256];
} hostStorage;

thread_local struct {
  TServEnt entry;
  char* aliases[1];
  char name[64];
  char proto[16];
} servStorage;

thread_local struct {
  TProtoEnt entry;
  char* aliases[1];
  char name[64];
} protoStorage;

}  // namespace

namespace emu {

THostEnt* PLAT_WINAPI gethostbyname(const char* name) {
  if (name == nullptr) {
    SetWsaError(WSAEINVAL);
    return nullptr;
  }
  HostResult r = ResolveName(name);
  if (r.error != 0) {
    SetWsaError(r.error);
    return nullptr;
  }
  auto& s = hostStorage;
  std::size_t n = std::min<std::size_t>(r.addresses.size(), 35);
  for (std::size_t i = 0; i < n; ++i) {
    s.addresses[i] = r.addresses[i];
    s.list[i] = reinterpret_cast<char*>(&s.addresses[i]);
  }
  s.list[n] = nullptr;
  s.aliases[0] = nullptr;
  std::snprintf(s.name, sizeof s.name, "%s", r.name.c_str());
  s.entry = THostEnt{s.name, s.aliases, kAfInet, 4, s.list};
  return &s.entry;
}

TServEnt* PLAT_WINAPI getservbyname(const char* name, const char* proto) {
  if (name == nullptr) {
    SetWsaError(WSAEINVAL);
    return nullptr;
  }
  int port = -1;
  const char* foundProto = nullptr;
  for (const Service& s : kServices) {
    if (SameName(s.name, name) && (proto == nullptr || SameName(s.proto, proto))) {
      port = s.port;
      foundProto = s.proto;
      break;
    }
  }
  std::string systemProto;
  if (port < 0) {
    servent se{}, *res = nullptr;
    char buf[1024];
    if (getservbyname_r(name, proto, &se, buf, sizeof buf, &res) == 0 && res != nullptr) {
      port = ::ntohs(static_cast<std::uint16_t>(res->s_port));
      systemProto = res->s_proto;
      foundProto = systemProto.c_str();
    }
  }
  if (port < 0) {
    SetWsaError(WSANO_DATA);  // no data record of the requested type
    return nullptr;
  }
  auto& s = servStorage;
  std::snprintf(s.name, sizeof s.name, "%s", name);
  std::snprintf(s.proto, sizeof s.proto, "%s", foundProto);
  s.aliases[0] = nullptr;
  s.entry = TServEnt{s.name, s.aliases,
                     static_cast<std::int16_t>(::htons(static_cast<std::uint16_t>(port))), s.proto};
  return &s.entry;
}

TProtoEnt* PLAT_WINAPI getprotobyname(const char* name) {
  if (name == nullptr) {
    SetWsaError(WSAEINVAL);
    return nullptr;
  }
  int number = -1;
  for (const Protocol& p : kProtocols) {
    if (SameName(p.name, name)) number = p.number;
  }
  if (number < 0) {
    protoent pe{}, *res = nullptr;
    char buf[1024];
    if (getprotobyname_r(name, &pe, buf, sizeof buf, &res) == 0 && res != nullptr)
      number = res->p_proto;
  }
  if (number < 0) {
    SetWsaError(WSANO_DATA);
    return nullptr;
  }
  auto& s = protoStorage;
  std::snprintf(s.name, sizeof s.name, "%s", name);
  s.aliases[0] = nullptr;
  s.entry = TProtoEnt{s.name, s.aliases, static_cast<std::int16_t>(number)};
  return &s.entry;
}

std::uintptr_t PLAT_WINAPI WSAAsyncGetHostByName(WindowHandle window, unsigned msg,
                                                 const char* name, char* buf, int buflen) {
  if (name == nullptr || buf == nullptr) {
    SetWsaError(WSAEINVAL);
    return 0;
  }
  std::string host = name;
  return StartLookup(window, msg, buf, buflen, [host] { return ResolveName(host.c_str()); });
}

std::uintptr_t PLAT_WINAPI WSAAsyncGetHostByAddr(WindowHandle window, unsigned msg,
                                                 const char* addr, int len, int type, char* buf,
                                                 int buflen) {
  if (addr == nullptr || buf == nullptr || len != 4 || type != kAfInet) {
    SetWsaError(WSAEINVAL);
    return 0;
  }
  std::uint32_t address;
  std::memcpy(&address, addr, 4);
  return StartLookup(window, msg, buf, buflen, [address] { return ResolveAddress(address); });
}

// The protocol-independent calls, with their records in the Windows layout.
// Each answer is one allocation: the record, its address, its name.
int PLAT_WINAPI getaddrinfo(const char* node, const char* service, const TAddrInfo* hints,
                            TAddrInfo** result) {
  if (result == nullptr) return WSAEINVAL;
  *result = nullptr;
  addrinfo h{};
  if (hints != nullptr) {
    h.ai_family = hints->ai_family == kAfInet6  ? AF_INET6
                  : hints->ai_family == kAfInet ? AF_INET
                                                : AF_UNSPEC;
    if (hints->ai_family != kAfUnspec && h.ai_family == AF_UNSPEC) return WSAEAFNOSUPPORT;
    h.ai_socktype = hints->ai_socktype == kSockStream  ? SOCK_STREAM
                    : hints->ai_socktype == kSockDgram ? SOCK_DGRAM
                                                       : 0;
    h.ai_protocol = hints->ai_protocol;
    h.ai_flags = ((hints->ai_flags & kAiPassive) ? AI_PASSIVE : 0) |
                 ((hints->ai_flags & kAiCanonName) ? AI_CANONNAME : 0) |
                 ((hints->ai_flags & kAiNumericHost) ? AI_NUMERICHOST : 0);
  }
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(node, service, hints != nullptr ? &h : nullptr, &list);
  if (rc != 0) {
    int error = WsaFromResolver(rc);
    SetWsaError(error);
    return error;
  }
  TAddrInfo** tail = result;
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
    std::size_t nameSize = a->ai_canonname != nullptr ? std::strlen(a->ai_canonname) + 1 : 0;
    auto* block =
        static_cast<char*>(std::calloc(1, sizeof(TAddrInfo) + sizeof(TSockAddrStorage) + nameSize));
    if (block == nullptr) {
      freeaddrinfo(*result);
      *result = nullptr;
      ::freeaddrinfo(list);
      SetWsaError(WSAENOBUFS);
      return WSAENOBUFS;
    }
    auto* info = reinterpret_cast<TAddrInfo*>(block);
    auto* address = reinterpret_cast<TSockAddr*>(block + sizeof(TAddrInfo));
    std::memcpy(address, a->ai_addr,
                std::min<std::size_t>(a->ai_addrlen, sizeof(TSockAddrStorage)));
    address->sa_family = a->ai_family == AF_INET6 ? kAfInet6 : kAfInet;
    info->ai_family = address->sa_family;
    info->ai_socktype = a->ai_socktype == SOCK_DGRAM ? kSockDgram : kSockStream;
    info->ai_protocol = a->ai_protocol;
    info->ai_addrlen = a->ai_addrlen;
    info->ai_addr = address;
    if (nameSize > 0) {
      info->ai_canonname = block + sizeof(TAddrInfo) + sizeof(TSockAddrStorage);
      std::memcpy(info->ai_canonname, a->ai_canonname, nameSize);
    }
    *tail = info;
    tail = &info->ai_next;
  }
  ::freeaddrinfo(list);
  if (*result == nullptr) {
    SetWsaError(WSAHOST_NOT_FOUND);
    return WSAHOST_NOT_FOUND;
  }
  return 0;
}

void PLAT_WINAPI freeaddrinfo(TAddrInfo* list) {
  while (list != nullptr) {
    TAddrInfo* next = list->ai_next;
    std::free(list);
    list = next;
  }
}

int PLAT_WINAPI getnameinfo(const TSockAddr* address, int length, char* host,
                            std::uint32_t hostLength, char* service, std::uint32_t serviceLength,
                            int flags) {
  if (address == nullptr || length < static_cast<int>(sizeof(TSockAddr))) return WSAEFAULT;
  sockaddr_storage sa{};
  std::memcpy(&sa, address, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof sa));
  socklen_t saLen = static_cast<socklen_t>(length);
  if (address->sa_family == kAfInet6) {
    if (length < static_cast<int>(sizeof(TSockAddrIn6))) return WSAEFAULT;
    sa.ss_family = AF_INET6;
    saLen = sizeof(sockaddr_in6);
  } else if (address->sa_family != kAfInet) {
    return WSAEAFNOSUPPORT;
  }
  int f = ((flags & kNiNumericHost) ? NI_NUMERICHOST : 0) |
          ((flags & kNiNameReqd) ? NI_NAMEREQD : 0) |
          ((flags & kNiNumericServ) ? NI_NUMERICSERV : 0);
  int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sa), saLen, host, hostLength, service,
                         serviceLength, f);
  if (rc != 0) {
    int error = WsaFromResolver(rc);
    SetWsaError(error);
    return error;
  }
  return 0;
}

int PLAT_WINAPI WSACancelAsyncRequest(std::uintptr_t handle) {
  std::lock_guard<std::mutex> lock(lookupMu);
  if (pending.erase(handle) > 0) return 0;
  // Finished already: retract its done message if it is still queued, so
  // that nothing arrives for a cancelled handle.
  if (handle >= kFirstHandle &&
      RemoveQueued([handle](const Message& m) { return m.wParam == handle; }) > 0) {
    return 0;
  }
  SetWsaError(WSAEINVAL);
  return kSocketError;
}

}  // namespace emu
}  // namespace plat::posix
