// Address, port and protocol texts, their resolution, the peer and bound
// names, and asynchronous name lookups.
#include <cstring>

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
  std::string text = value.empty() ? std::string("0.0.0.0") : value;
  std::uint32_t a = wsock::inet_addr(text.c_str());
  if (a == plat::kInaddrNone) RaiseError("SetLocalAddr(): Invalid IP address", plat::WSAEINVAL);
  FLocalAddr = Dotted(a);
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

// A new lookup replaces a pending one, which then reports nothing.
void TCustomWSocket::BeginLookup() {
  if (FLookupRequest != 0) {
    CancelLookup();
    FLookupRequest = 0;
  }
  FDnsResult.clear();
  FDnsResultList.Clear();
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
  FEarlyLookupReply = false;
  FLookupRequest = wsock::WSAAsyncGetHostByName(FNotifyWindow, MsgHostByNameDone, hostName.c_str(),
                                                LookupArea(), kLookupAreaSize);
  if (FLookupRequest == 0) {
    int error = wsock::WSAGetLastError();
    RaiseErrorFmt(Format("%s: can't start DNS lookup, error #%d", hostName.c_str(), error), error);
    return;
  }
  if (FEarlyLookupReply) {
    FEarlyLookupReply = false;
    TMessage saved = FEarlyLookupMessage;
    HandleLookupDone(saved, true);
  }
}

void TCustomWSocket::ReverseDnsLookup(const std::string& hostAddr) {
  if (hostAddr.empty() || hostAddr.size() > 256) {
    RaiseError("ReverseDnsLookup: Invalid host name.", plat::WSAEINVAL);
    FireDnsLookupDone(plat::WSAEINVAL);
    return;
  }
  BeginLookup();
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

void TCustomWSocket::HandleLookupDone(TMessage& msg, bool byName) {
  if (byName && FLookupRequest == 0) {
    FEarlyLookupMessage = msg;
    FEarlyLookupReply = true;
    return;
  }
  if (msg.WParam != FLookupRequest) return;
  FLookupRequest = 0;
  std::uint16_t error = plat::UnpackNotification(msg.LParam).error;
  if (error == 0) {
    const auto* he = reinterpret_cast<const plat::THostEnt*>(FLookupResultArea.get());
    if (byName) {
      for (char** p = he->h_addr_list; p != nullptr && *p != nullptr; ++p) {
        std::uint32_t a;
        std::memcpy(&a, *p, 4);
        FDnsResultList.Add(Dotted(a));
      }
      if (FDnsResultList.Count() > 0) FDnsResult = FDnsResultList[0];
    } else {
      FDnsResult = he->h_name != nullptr ? he->h_name : "";
      FDnsResultList.Clear();
      FDnsResultList.Add(FDnsResult);
    }
  }
  FireDnsLookupDone(error);
}

// ---- peer and bound names -----------------------------------------------------

// The peer's name while connected; a failure is reported naming `what`.
bool TCustomWSocket::PeerName(plat::TSockAddrIn& sa, const char* what) {
  if (FState != wsConnected) return false;
  int len = sizeof sa;
  if (wsock::getpeername(FSocketHandle, reinterpret_cast<plat::TSockAddr*>(&sa), &len) != 0) {
    ReportSocketError(what);
    return false;
  }
  return true;
}

std::string TCustomWSocket::ReadPeerAddr() {
  plat::TSockAddrIn sa{};
  return PeerName(sa, "GetPeerName") ? Dotted(sa.sin_addr.S_addr) : "error";
}

std::string TCustomWSocket::ReadPeerPort() {
  plat::TSockAddrIn sa{};
  return PeerName(sa, "GetPeerPort") ? IntToStr(wsock::ntohs(sa.sin_port)) : "error";
}

int TCustomWSocket::QueryPeerName(plat::TSockAddrIn& name, int length) {
  if (FState != wsConnected) return -1;
  return wsock::getpeername(FSocketHandle, reinterpret_cast<plat::TSockAddr*>(&name), &length);
}

int TCustomWSocket::QuerySockName(plat::TSockAddrIn& name, int& length) {
  return wsock::getsockname(FSocketHandle, reinterpret_cast<plat::TSockAddr*>(&name), &length);
}

// The socket's own name once bound; failures are not reported.
bool TCustomWSocket::BoundName(plat::TSockAddrIn& sa) {
  if (FState != wsBound && FState != wsConnected && FState != wsListening) return false;
  int len = sizeof sa;
  return wsock::getsockname(FSocketHandle, reinterpret_cast<plat::TSockAddr*>(&sa), &len) == 0;
}

std::string TCustomWSocket::ReadBoundPort() {
  plat::TSockAddrIn sa{};
  return BoundName(sa) ? Format("%d", wsock::ntohs(sa.sin_port)) : "error";
}

std::string TCustomWSocket::ReadBoundAddr() {
  plat::TSockAddrIn sa{};
  return BoundName(sa) ? Dotted(sa.sin_addr.S_addr) : "error";
}
