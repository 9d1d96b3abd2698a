// TCustomSocksWSocket: a TCP connection through a SOCKS 4, 4A or 5 proxy.
//
// With SocksServer set, Connect opens the connection to the proxy, runs the
// negotiation on the socket's own events and only then reports
// OnSessionConnected, as a direct connection would: once per Connect, with
// 0 on success and a non-zero code on every failure. Bytes the proxy passes
// on right behind its reply are handed out as ordinary received data. With
// SocksServer empty every call goes straight to the core.
//
// Like the core's address and port, the SOCKS settings (server, port,
// level) are wiped by every close and must be set again before the next
// Connect; user code, password and the authentication choice stay.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
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

class TCustomSocksWSocket : public TCustomWSocket {
 public:
  explicit TCustomSocksWSocket(TComponent* owner);

  const std::string& SocksServer() const { return FSocksServer; }
  void SetSocksServer(const std::string& value) { AssignSocksServer(value); }
  const std::string& SocksPort() const { return FSocksPort; }
  void SetSocksPort(const std::string& value) { AssignSocksPort(value); }
  const std::string& SocksLevel() const { return FSocksLevel; }
  void SetSocksLevel(const std::string& value) { AssignSocksLevel(value); }
  const std::string& SocksUsercode() const { return FSocksUsercode; }
  void SetSocksUsercode(const std::string& value) { FSocksUsercode = value; }
  const std::string& SocksPassword() const { return FSocksPassword; }
  void SetSocksPassword(const std::string& value) { FSocksPassword = value; }
  TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
  void SetSocksAuthentication(TSocksAuthentication value) { FSocksAuthentication = value; }
  bool SocksInUse() const { return FSocksInUse; }
  TSocksState SocksState() const { return FSocksState; }
  const std::string& SocksBoundAddr() const { return FSocksBoundAddr; }
  const std::string& SocksBoundPort() const { return FSocksBoundPort; }
  // Whether the proxy, not this side, resolves the destination's name
  // (levels 4A and 5 with a server set).
  bool SocksResolvesNames() const { return FSocksInUse && FSocksLevel != "4"; }

  TSocksErrorEvent OnSocksError;
  TSessionConnected OnSocksConnected;
  TSocksAuthStateEvent OnSocksAuthState;

  void Connect() override;
  void Listen() override;

 protected:
  void ResetDefaults() override;
  void ForgetConnectionData() override;
  bool FireDataAvailable(std::uint16_t error) override;
  void FireSessionConnected(std::uint16_t error) override;
  void FireSessionClosed(std::uint16_t error) override;
  std::int32_t QueryRcvdCount() override;
  int RecvRaw(void* buffer, int size, int flags) override;

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

  TSocksState FSocksState = socksIdle;
  std::string FSocksServer;
  std::string FSocksLevel = "5";
  std::string FSocksPort;
  bool FSocksInUse = false;
  std::string FSocksUsercode;
  std::string FSocksPassword;
  TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
  std::uint8_t FSocksMethod = 0;
  std::string FSocksBoundAddr;
  std::string FSocksBoundPort;
  // Reply bytes; large enough for the longest reply and what follows it.
  std::array<std::uint8_t, socks::kReplyArea> FSocksReply{};
  std::int32_t FSocksReplyCount = 0;
  std::int32_t FSurplusCount = 0;
  std::int32_t FSurplusStart = 0;
  // The destination's port (host order); the core's port is the proxy's.
  std::uint16_t FSocksDestPort = 0;
  // The application was handed the surplus and read none of it: it is not
  // counted as waiting (so delivery does not go round for ever) until a
  // read takes some.
  bool FSurplusStalled = false;

 private:
  void SetSocksDefaults();
  socks::Level LevelOf() const;
  bool NegotiationSucceeded(const socks::Verdict& v);
  bool Negotiate();
  void SendNegotiation(const std::string& bytes);

  // A negotiation message is being sent (see FireSessionClosed).
  bool FSendingNegotiation = false;
};
