// TCustomSocksWSocket: a TCP connection through a SOCKS 4, 4A or 5 proxy.
//
// With SocksServer set, Connect opens the connection to the proxy, runs the
// negotiation on the socket's own events and only then reports
// OnSessionConnected, as a direct connection would: once per Connect, with
// 0 on success and a non-zero code on every failure. Bytes the proxy passes
// on right behind its reply are handed out as ordinary received data. With
// SocksServer empty every call goes straight to the core.
//
// The SOCKS settings (server, port, level, user code, password and the
// authentication choice) stay across a close, a refused negotiation and a
// lost connection: a socket that was given a proxy connects only through it
// until the caller clears SocksServer. Wiping them with the close would
// send the next Connect of the same object straight to the destination,
// resolving its name here, which is exactly what a caller who set a proxy
// does not want. (The core's Addr and Port still have to be assigned again.)
//
// The layer keeps everything of its own in one record (TSocksProxyState):
// the proxy's endpoint never goes into the core's Addr and Port, which hold
// the destination only; the core asks this layer where to connect
// (RouteConnection).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/SocksProto.h"
#include "net/WSocketCore.h"

enum TSocksState : std::uint8_t {
  socksIdle,
  socksNegotiateMethod,
  socksAuthenticating,
  socksWaitConnectReply
};
enum TSocksAuthentication : std::uint8_t { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState : std::uint8_t {
  socksAuthStarted,
  socksAuthSucceeded,
  socksAuthFailed,
  socksAuthNotNeeded
};

using TSocksErrorEvent =
    std::function<void(TObject* Sender, std::int32_t Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TObject* Sender, TSocksAuthState AuthState)>;

// The code a connection closed by the proxy (or lost) in the middle of the
// negotiation reports, through OnSocksError and OnSessionConnected.
constexpr std::int32_t kSocksClosedDuringNegotiation = 20014;

// Everything the SOCKS layer holds: the settings, which stay until the
// caller changes them, and the current connection's negotiation, which a
// close or a lost connection forgets (ForgetNegotiation).
// Made when a proxy is first spoken to: a socket that never goes through
// one (every socket of a server) does not carry the area.
class TSocksReplyArea {
 public:
  std::uint8_t* data() {
    if (!area_) area_ = std::make_unique<std::array<std::uint8_t, socks::kReplyArea>>();
    return area_->data();
  }

 private:
  std::unique_ptr<std::array<std::uint8_t, socks::kReplyArea>> area_;
};

struct TSocksProxyState {
  // ---- settings
  std::string Server;
  std::string Port;
  std::string Level = "5";
  std::string Usercode;
  std::string Password;
  TSocksAuthentication Authentication = socksNoAuthentication;

  // ---- this connection
  TSocksState Phase = socksIdle;
  // Where the socket really connects (network order) and, kept apart, the
  // destination's port (host order) that goes into the request.
  TSocketAddressList ProxyAddrs;
  std::uint16_t ProxyPort = 0;
  std::uint16_t DestPort = 0;
  std::uint8_t Method = 0;
  std::string BoundAddr;
  std::string BoundPort;
  // Reply bytes; large enough for the longest reply and what follows it.
  TSocksReplyArea Reply;
  std::int32_t ReplyCount = 0;
  std::int32_t SurplusCount = 0;
  std::int32_t SurplusStart = 0;
  // A negotiation message is being sent (see FireSessionClosed).
  bool SendingNegotiation = false;

  bool InUse() const { return !Server.empty(); }
  void ForgetNegotiation() {
    Phase = socksIdle;
    ReplyCount = SurplusCount = SurplusStart = 0;
    SendingNegotiation = false;
  }
};

class TCustomSocksWSocket : public TCustomWSocket {
 public:
  explicit TCustomSocksWSocket(TComponent* owner);

  const std::string& SocksServer() const { return FSocks.Server; }
  void SetSocksServer(const std::string& value) { AssignSocksServer(value); }
  const std::string& SocksPort() const { return FSocks.Port; }
  void SetSocksPort(const std::string& value) { AssignSocksPort(value); }
  const std::string& SocksLevel() const { return FSocks.Level; }
  void SetSocksLevel(const std::string& value) { AssignSocksLevel(value); }
  const std::string& SocksUsercode() const { return FSocks.Usercode; }
  void SetSocksUsercode(const std::string& value) { FSocks.Usercode = value; }
  const std::string& SocksPassword() const { return FSocks.Password; }
  void SetSocksPassword(const std::string& value) { FSocks.Password = value; }
  TSocksAuthentication SocksAuthentication() const { return FSocks.Authentication; }
  void SetSocksAuthentication(TSocksAuthentication value) { FSocks.Authentication = value; }
  bool SocksInUse() const { return FSocks.InUse(); }
  TSocksState SocksState() const { return FSocks.Phase; }
  const std::string& SocksBoundAddr() const { return FSocks.BoundAddr; }
  const std::string& SocksBoundPort() const { return FSocks.BoundPort; }
  // Whether the proxy, not this side, resolves the destination's name
  // (levels 4A and 5 with a server set).
  bool SocksResolvesNames() const { return FSocks.InUse() && FSocks.Level != "4"; }

  TSocksErrorEvent OnSocksError;
  TSessionConnected OnSocksConnected;
  TSocksAuthStateEvent OnSocksAuthState;

  void Connect() override;
  void Listen() override;

 protected:
  void ResetDefaults() override;
  void ForgetConnectionData() override;
  bool RouteConnection(TSocketAddressList& remote) override;
  bool FireDataAvailable(std::uint16_t error) override;
  void FireSessionConnected(std::uint16_t error) override;
  void FireSessionClosed(std::uint16_t error) override;
  std::int32_t QueryRcvdCount() override;
  std::int32_t LayersHold() override;
  bool Negotiating() const override {
    return FSocks.Phase != socksIdle || TCustomWSocket::Negotiating();
  }
  void TransportChanged() override;
  int RecvRaw(void* buffer, int size, int flags) override;

  // Received data goes through this layer untouched (no negotiation under
  // way, no surplus held): FireDataAvailable would only pass the event on,
  // so a layer above that fires often may call the core's instead.
  bool DataPassesThrough() const { return FSocks.Phase == socksIdle && FSocks.SurplusCount <= 0; }

  virtual void FireSocksConnected(std::uint16_t error);
  virtual void AssignSocksPort(const std::string& value);
  virtual void AssignSocksServer(const std::string& value);
  virtual void FireSocksError(std::int32_t error, const std::string& msg);

  void AssignSocksLevel(const std::string& value);
  void FireSocksAuthState(TSocksAuthState state);
  void SendSocksAuth();
  void SendSocksRequest();
  // Reports a failed negotiation to the application and closes.
  void FailSocks(std::int32_t code, const std::string& text);

  TSocksProxyState FSocks;

 private:
  socks::Level LevelOf() const;
  bool NegotiationSucceeded(const socks::Verdict& v);
  bool Negotiate();
  void SendNegotiation(const std::string& bytes);
};
