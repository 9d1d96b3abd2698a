// Address, port and protocol texts, their resolution, the peer and bound
// names, and asynchronous name lookups.
#include <atomic>
#include <cstring>
#include <thread>

#include "net/WSocketCore.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::uint32_t LeadingNumber(const std::string& s) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < s.size() && IsDigit(s[i]); ++i)
    v = v * 10 + static_cast<std::uint32_t>(s[i] - '0');
  return v;
}

// Four groups of decimal digits, each at most 255, separated by single
// dots, with blanks allowed before and after.
bool IsDottedAddress(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  if (i < s.size() && s[i] == '.') return false;
  int dots = 0;
  std::uint32_t value = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (IsDigit(c)) {
      value = value * 10 + static_cast<std::uint32_t>(c - '0');
      if (value > 255) return false;
    } else if (c == '.') {
      if (++dots > 3) return false;
      if (i + 1 >= s.size() || !IsDigit(s[i + 1])) return false;
      value = 0;
    } else {
      break;
    }
  }
  for (; i < s.size(); ++i) {
    if (s[i] != ' ') return false;
  }
  return dots == 3;
}

std::string Dotted(std::uint32_t networkOrder) {
  return wsock::inet_ntoa(plat::TInAddr{networkOrder});
}

}  // namespace

std::uint32_t WSocketResolveHost(const std::string& host) {
  if (host.empty() || host.size() > 256)
    throw ESocketException("WSocketResolveHost: '" + host + "' Invalid Hostname.", plat::WSAEINVAL);
  std::string trimmed = Trim(host);
  if (IsDottedAddress(host)) {
    std::uint32_t a = wsock::inet_addr(trimmed.c_str());
    if (a == plat::kInaddrNone && trimmed != "255.255.255.255") {
      throw ESocketException("WSocketResolveHost: '" + host + "' Invalid IP address.",
                             plat::WSAEINVAL);
    }
    return a;
  }
  plat::THostEnt* he = wsock::gethostbyname(trimmed.c_str());
  if (he == nullptr || he->h_addr_list == nullptr || he->h_addr_list[0] == nullptr) {
    int error = wsock::WSAGetLastError();
    throw ESocketException(Format("WSocketResolveHost: Cannot convert host address '%s', Error #%d",
                                  host.c_str(), error),
                           error);
  }
  std::uint32_t a;
  std::memcpy(&a, he->h_addr_list[0], 4);
  return a;
}

namespace {

// The addresses getaddrinfo gives for `host`, without repeats. The calls
// are passed in, so that a lookup thread can use entry points bound before.
template <typename GetAddrInfo, typename FreeAddrInfo>
TSocketAddressList AddressesOf(GetAddrInfo getaddrinfo, FreeAddrInfo freeaddrinfo,
                               const std::string& host, int family, int flags, int& error) {
  plat::TAddrInfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = plat::kSockStream;
  hints.ai_flags = flags;
  plat::TAddrInfo* list = nullptr;
  TSocketAddressList found;
  error = getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (error != 0) return found;
  for (plat::TAddrInfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_family != plat::kAfInet && a->ai_family != plat::kAfInet6) continue;
    TSocketAddress address = TSocketAddress::FromRaw(a->ai_addr, static_cast<int>(a->ai_addrlen));
    bool seen = false;
    for (const TSocketAddress& f : found)
      seen = seen || (f.Length == address.Length &&
                      std::memcmp(&f.Storage, &address.Storage, address.Length) == 0);
    if (!seen) found.push_back(address);
  }
  freeaddrinfo(list);
  if (found.empty()) error = plat::WSAHOST_NOT_FOUND;
  return found;
}

int FamilyOf(TSocketFamily family) {
  return family == sfIPv4 ? plat::kAfInet : family == sfIPv6 ? plat::kAfInet6 : plat::kAfUnspec;
}

}  // namespace

TSocketAddressList WSocketResolveHostList(const std::string& host, TSocketFamily family) {
  if (host.empty() || host.size() > 256)
    throw ESocketException("WSocketResolveHost: '" + host + "' Invalid Hostname.", plat::WSAEINVAL);
  std::string trimmed = Trim(host);
  auto wrongFamily = [&] {
    return ESocketException(
        "WSocketResolveHost: '" + host + "' " + SocketErrorText(plat::WSAEAFNOSUPPORT),
        plat::WSAEAFNOSUPPORT);
  };
  if (IsDottedAddress(host)) {
    if (family == sfIPv6) throw wrongFamily();
    return {TSocketAddress::FromIPv4(WSocketResolveHost(host), 0)};
  }
  int error = 0;
  if (WSocketLooksLikeIPv6(trimmed)) {
    if (family == sfIPv4) throw wrongFamily();
    TSocketAddressList literal = AddressesOf(wsock::getaddrinfo, wsock::freeaddrinfo, trimmed,
                                             plat::kAfInet6, plat::kAiNumericHost, error);
    if (error != 0) {
      throw ESocketException("WSocketResolveHost: '" + host + "' Invalid IP address.",
                             plat::WSAEINVAL);
    }
    return literal;
  }
  TSocketAddressList found =
      AddressesOf(wsock::getaddrinfo, wsock::freeaddrinfo, trimmed, FamilyOf(family), 0, error);
  if (error != 0) {
    throw ESocketException(Format("WSocketResolveHost: Cannot convert host address '%s', Error #%d",
                                  host.c_str(), error),
                           error);
  }
  return found;
}

std::uint16_t WSocketResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty() || port.size() >= 32)
    throw ESocketException("WSocketResolvePort: Invalid Port.", plat::WSAEINVAL);
  if (proto.empty() || proto.size() >= 32)
    throw ESocketException("WSocketResolvePort: Invalid Proto.", plat::WSAEINVAL);
  if (IsDigit(port[0])) return static_cast<std::uint16_t>(LeadingNumber(port));
  std::string p = Trim(port), pr = Trim(proto);
  plat::TServEnt* se = wsock::getservbyname(p.c_str(), pr.empty() ? nullptr : pr.c_str());
  if (se == nullptr) {
    int error = wsock::WSAGetLastError();
    throw ESocketException(
        Format("WSocketResolvePort: Cannot convert port '%s', Error #%d", port.c_str(), error),
        error);
  }
  return wsock::ntohs(static_cast<std::uint16_t>(se->s_port));
}

std::int32_t WSocketResolveProto(const std::string& proto) {
  if (proto.empty() || proto.size() >= 32)
    throw ESocketException("WSocketResolveProto: Invalid Protocol.", plat::WSAEINVAL);
  std::string p = Trim(proto);
  if (p.empty()) throw ESocketException("WSocketResolveProto: Invalid Protocol.", plat::WSAEINVAL);
  if (IsDigit(p[0])) return static_cast<std::int32_t>(LeadingNumber(p));
  plat::TProtoEnt* pe = wsock::getprotobyname(p.c_str());
  if (pe == nullptr) {
    int error = wsock::WSAGetLastError();
    throw ESocketException(
        Format("WSocketResolveProto: Cannot convert protocol '%s', Error #%d", p.c_str(), error),
        error);
  }
  return pe->p_proto;
}

// ---- property writers -------------------------------------------------------

// The writers of Addr, Port and Proto: the same text again changes nothing
// in any state; a new one only while closed, stored trimmed.
template <typename Number>
void TCustomWSocket::AssignText(TResolvedText<Number>& field, const std::string& value,
                                const char* name) {
  if (field.Assigned && value == field.Text) return;
  if (FState != wsClosed)
    return RaiseError(std::string("Cannot change ") + name + " if not closed", plat::WSAEINVAL);
  field.Text = Trim(value);
  field.Assigned = !field.Text.empty();
  if (field.Assigned) field.Known = false;
}

void TCustomWSocket::AssignAddr(const std::string& value) { AssignText(FAddr, value, "Addr"); }

void TCustomWSocket::AssignPort(const std::string& value) { AssignText(FPort, value, "Port"); }

void TCustomWSocket::AssignProto(const std::string& value) { AssignText(FProto, value, "Proto"); }

void TCustomWSocket::SetLocalAddr(const std::string& value) {
  if (FState != wsClosed) {
    RaiseError("Cannot change LocalAddr if not closed", plat::WSAEINVAL);
    return;
  }
  std::string text = value.empty() ? std::string("0.0.0.0") : Trim(value);
  std::uint32_t a = wsock::inet_addr(text.c_str());
  if (a != plat::kInaddrNone) {
    FLocalAddr = Dotted(a);
    return;
  }
  // An IPv6 address, or a name: kept as the address it stands for.
  try {
    FLocalAddr = WSocketAddressText(WSocketResolveHostList(text, FSocketFamily).front());
  } catch (const ESocketException&) {
    RaiseError("SetLocalAddr(): Invalid IP address", plat::WSAEINVAL);
  }
}

void TCustomWSocket::SetSocketFamily(TSocketFamily value) {
  if (FState != wsClosed) {
    RaiseError("Cannot change SocketFamily if not closed", plat::WSAEINVAL);
    return;
  }
  FSocketFamily = value;
  // Resolved again for the family now allowed.
  FAddr.Known = false;
  FLookupAddresses.clear();
}

void TCustomWSocket::AssignLocalPort(const std::string& value) {
  if (FState != wsClosed) {
    RaiseError("Cannot change LocalPort if not closed", plat::WSAEINVAL);
    return;
  }
  FLocalPort.Text = value;
  FLocalPort.Known = false;
}

// ---- lookups ----------------------------------------------------------------

// ---- lookups of both families, on a thread of their own ----------------------

namespace {

// One lookup: the thread fills it in, then posts its done message; the
// socket reads it only after that message, so no lock is needed. Shared,
// so that a socket that gives up on a lookup (or is freed) leaves it to
// the thread.
struct TAddrLookup {
  std::uintptr_t id;
  std::string name;
  int family = 0;
  bool reverse = false;
  TSocketAddress address;  // reverse: what to name
  TSocketAddressList addresses;
  std::string hostName;
  int error = 0;
  std::atomic<bool> done{false};
};
std::atomic<std::uintptr_t> nextLookupId{1};
// The lookup each socket waits for, by id; a socket holds its own.
thread_local std::vector<std::shared_ptr<TAddrLookup>> lookupsWaiting;

std::shared_ptr<TAddrLookup> TakeLookup(std::uintptr_t id) {
  for (auto it = lookupsWaiting.begin(); it != lookupsWaiting.end(); ++it) {
    if ((*it)->id == id) {
      std::shared_ptr<TAddrLookup> l = *it;
      lookupsWaiting.erase(it);
      return l;
    }
  }
  return nullptr;
}

// Starts `lookup` on a thread that posts `msg` to `window` when done. The
// entry points are bound here, on the socket's thread, and handed over.
bool StartAddrLookup(const std::shared_ptr<TAddrLookup>& lookup, plat::WindowHandle window,
                     unsigned msg) {
  auto getaddrinfo = reinterpret_cast<plat::wsa::getaddrinfo>(LookupLibraryProc("getaddrinfo"));
  auto freeaddrinfo = reinterpret_cast<plat::wsa::freeaddrinfo>(LookupLibraryProc("freeaddrinfo"));
  auto getnameinfo = reinterpret_cast<plat::wsa::getnameinfo>(LookupLibraryProc("getnameinfo"));
  try {
    std::thread([lookup, window, msg, getaddrinfo, freeaddrinfo, getnameinfo] {
      if (lookup->reverse) {
        char host[plat::kNiMaxHost];
        lookup->error = getnameinfo(lookup->address.Raw(), lookup->address.Length, host,
                                    sizeof host, nullptr, 0, plat::kNiNameReqd);
        if (lookup->error == 0) lookup->hostName = host;
      } else {
        lookup->addresses = AddressesOf(getaddrinfo, freeaddrinfo, lookup->name, lookup->family,
                                        plat::kAiCanonName, lookup->error);
      }
      lookup->done = true;
      plat::PostWindowMessage(window, msg, lookup->id, 0);
    }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  lookupsWaiting.push_back(lookup);
  return true;
}

}  // namespace

void TCustomWSocket::HandleAddrLookupDone(TMessage& msg) {
  std::shared_ptr<TAddrLookup> lookup = TakeLookup(msg.WParam);
  if (!lookup || msg.WParam != FAddrLookup) return;  // given up on
  FAddrLookup = 0;
  if (lookup->error == 0) {
    if (lookup->reverse) {
      FDnsResultList.Add(lookup->hostName);
    } else {
      for (const TSocketAddress& a : lookup->addresses) FDnsResultList.Add(WSocketAddressText(a));
      FLookupName = lookup->name;
      FLookupAddresses = std::move(lookup->addresses);
    }
    if (FDnsResultList.Count() > 0) FDnsResult = FDnsResultList[0];
  }
  FireDnsLookupDone(static_cast<std::uint16_t>(lookup->error));
}

// A new lookup replaces a pending one, which then reports nothing.
void TCustomWSocket::BeginLookup() {
  if (FLookupRequest != 0) {
    CancelLookup();
    FLookupRequest = 0;
  }
  DropAddrLookup();
  FDnsResult.clear();
  FDnsResultList.Clear();
  FLookupName.clear();
  FLookupAddresses.clear();
}

void TCustomWSocket::DropAddrLookup() {
  if (FAddrLookup == 0) return;
  if (std::shared_ptr<TAddrLookup> lookup = TakeLookup(FAddrLookup)) {
    // Its thread may still be inside the library, which then must stay.
    if (!lookup->done) NoteAbandonedLookup();
  }
  plat::RemoveQueuedMessages(FNotifyWindow, MsgAddrLookupDone);
  FAddrLookup = 0;
}

bool TCustomWSocket::StartLookupThread(const std::string& name, const TSocketAddress* reverse) {
  auto lookup = std::make_shared<TAddrLookup>();
  lookup->id = nextLookupId++;
  lookup->name = name;
  lookup->family = FamilyOf(FSocketFamily);
  if (reverse != nullptr) {
    lookup->reverse = true;
    lookup->address = *reverse;
  }
  if (!StartAddrLookup(lookup, FNotifyWindow, MsgAddrLookupDone)) return false;
  FAddrLookup = lookup->id;
  return true;
}

void TCustomWSocket::DnsLookup(const std::string& hostName) {
  if (hostName.empty()) {
    RaiseError("DNS lookup: invalid host name.", plat::WSAEINVAL);
    FireDnsLookupDone(plat::WSAEINVAL);
    return;
  }
  BeginLookup();
  std::uint32_t a = wsock::inet_addr(hostName.c_str());
  if (a != plat::kInaddrNone) {
    FDnsResult = Dotted(a);
    FireDnsLookupDone(0);
    return;
  }
  if (WSocketLooksLikeIPv6(hostName)) {
    // An address already: what it reads as, in its short form.
    std::uint16_t error = 0;
    try {
      FDnsResult = WSocketAddressText(WSocketResolveHostList(hostName, FSocketFamily).front());
    } catch (const ESocketException& e) {
      error = static_cast<std::uint16_t>(e.ErrorCode());
    }
    FireDnsLookupDone(error);
    return;
  }
  // Both families (WSAAsyncGetHostByName knows IPv4 only), without holding
  // up the message loop.
  if (!StartLookupThread(hostName, nullptr)) {
    RaiseErrorFmt(
        Format("%s: can't start DNS lookup, error #%d", hostName.c_str(), plat::WSAENOBUFS),
        plat::WSAENOBUFS);
  }
}

void TCustomWSocket::ReverseDnsLookup(const std::string& hostAddr) {
  if (hostAddr.empty() || hostAddr.size() > 256) {
    RaiseError("ReverseDnsLookup: Invalid host name.", plat::WSAEINVAL);
    FireDnsLookupDone(plat::WSAEINVAL);
    return;
  }
  BeginLookup();
  if (WSocketLooksLikeIPv6(hostAddr)) {
    TSocketAddress address;
    try {
      address = WSocketResolveHostList(hostAddr, sfIPv6).front();
    } catch (const ESocketException& e) {
      RaiseError("ReverseDnsLookup: Invalid host name.", plat::WSAEINVAL);
      FireDnsLookupDone(plat::WSAEINVAL);
      return;
    }
    if (!StartLookupThread(hostAddr, &address)) {
      RaiseErrorFmt(
          Format("%s: can't start DNS lookup, error #%d", hostAddr.c_str(), plat::WSAENOBUFS),
          plat::WSAENOBUFS);
    }
    return;
  }
  std::uint32_t a = wsock::inet_addr(hostAddr.c_str());
  FLookupRequest = wsock::WSAAsyncGetHostByAddr(FNotifyWindow, MsgHostByAddrDone,
                                                reinterpret_cast<const char*>(&a), 4, plat::kAfInet,
                                                LookupArea(), kLookupAreaSize);
  if (FLookupRequest == 0) {
    int error = wsock::WSAGetLastError();
    RaiseErrorFmt(Format("%s: can't start DNS lookup, error #%d", hostAddr.c_str(), error), error);
  }
}

void TCustomWSocket::CancelDnsLookup() {
  if (FAddrLookup != 0) {
    DropAddrLookup();
    if (!Destroying()) FireDnsLookupDone(plat::WSAEINTR);
    return;
  }
  if (FLookupRequest == 0) return;
  if (CancelLookup() != 0) {
    FLookupRequest = 0;
    ReportSocketError("WSACancelAsyncRequest");
    return;
  }
  FLookupRequest = 0;
  if (!Destroying()) FireDnsLookupDone(plat::WSAEINTR);
}

char* TCustomWSocket::LookupArea() {
  if (!FLookupResultArea) FLookupResultArea.reset(new char[kLookupAreaSize]());
  return FLookupResultArea.get();
}

int TCustomWSocket::CancelLookup() {
  int rc = wsock::WSACancelAsyncRequest(FLookupRequest);
  if (!plat::AsyncLookupCancelIsFinal()) {
    // The library may still write into the area of a cancelled lookup, even
    // after this object is gone: leave that area to it and use a new one.
    (void)FLookupResultArea.release();
    NoteAbandonedLookup();
  }
  return rc;
}

void TCustomWSocket::HandleLookupDone(TMessage& msg) {
  if (msg.WParam != FLookupRequest) return;
  FLookupRequest = 0;
  std::uint16_t error = plat::UnpackNotification(msg.LParam).error;
  if (error == 0) {
    const auto* he = reinterpret_cast<const plat::THostEnt*>(FLookupResultArea.get());
    FDnsResult = he->h_name != nullptr ? he->h_name : "";
    FDnsResultList.Clear();
    FDnsResultList.Add(FDnsResult);
  }
  FireDnsLookupDone(error);
}

// ---- peer and bound names -----------------------------------------------------

// The peer's name while connected; a failure is reported naming `what`.
bool TCustomWSocket::PeerName(TSocketAddress& sa, const char* what) {
  if (FState != wsConnected) return false;
  int len = sizeof sa.Storage;
  if (wsock::getpeername(FSocketHandle, sa.Raw(), &len) != 0) {
    ReportSocketError(what);
    return false;
  }
  sa.Length = len;
  return true;
}

std::string TCustomWSocket::ReadPeerAddr() {
  TSocketAddress sa;
  return PeerName(sa, "GetPeerName") ? WSocketAddressText(sa) : "error";
}

std::string TCustomWSocket::ReadPeerPort() {
  TSocketAddress sa;
  return PeerName(sa, "GetPeerPort") ? IntToStr(sa.Port()) : "error";
}

int TCustomWSocket::QueryPeerName(plat::TSockAddrIn& name, int length) {
  if (FState != wsConnected) return -1;
  return wsock::getpeername(FSocketHandle, reinterpret_cast<plat::TSockAddr*>(&name), &length);
}

int TCustomWSocket::QuerySockName(plat::TSockAddrIn& name, int& length) {
  return wsock::getsockname(FSocketHandle, reinterpret_cast<plat::TSockAddr*>(&name), &length);
}

int TCustomWSocket::QueryPeerName(TSocketAddress& name) {
  if (FState != wsConnected) return -1;
  int len = sizeof name.Storage;
  int rc = wsock::getpeername(FSocketHandle, name.Raw(), &len);
  name.Length = rc == 0 ? len : 0;
  return rc;
}

int TCustomWSocket::QuerySockName(TSocketAddress& name) {
  int len = sizeof name.Storage;
  int rc = wsock::getsockname(FSocketHandle, name.Raw(), &len);
  name.Length = rc == 0 ? len : 0;
  return rc;
}

// The socket's own name once bound; failures are not reported.
bool TCustomWSocket::BoundName(TSocketAddress& sa) {
  if (FState != wsBound && FState != wsConnected && FState != wsListening) return false;
  return QuerySockName(sa) == 0;
}

std::string TCustomWSocket::ReadBoundPort() {
  TSocketAddress sa;
  return BoundName(sa) ? Format("%d", sa.Port()) : "error";
}

std::string TCustomWSocket::ReadBoundAddr() {
  TSocketAddress sa;
  return BoundName(sa) ? WSocketAddressText(sa) : "error";
}
