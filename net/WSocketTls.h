// TCustomTlsWSocket: TLS over the connection (inside a SOCKS tunnel, when
// one is used), so that the layers above and the application see plain
// text only.
//
// With TlsEnabled set, TLS starts with the first byte after the connection
// (after the SOCKS negotiation) and OnSessionConnected fires once the
// handshake and the certificate check are done: 0, or a TLS error number,
// after which the socket is closed. StartTls upgrades a connection that has
// spoken plain text so far (STARTTLS); OnTlsDone reports its outcome, and a
// failed upgrade closes the socket rather than go on in clear.
//
// The server's certificate is always checked: the whole chain against the
// system's store (or TlsCaFile instead), TlsServerName (by default the Addr
// text the caller connected to, not the address it resolved to) against
// its subjectAltName, and its validity dates. TLS 1.2 is the lowest version.
//
// Received plain text is what Receive, RcvdCount and OnDataAvailable see;
// Send takes plain text; OnDataSent means the encrypted bytes have left the
// send queue. Close sends close_notify before the TCP close; a peer's
// close_notify ends the session like an orderly close (OnSessionClosed 0),
// and a peer that closes without one after the handshake gives
// OnSessionClosed kTlsErrorNoCloseNotify, since the data may have been cut
// short. Without TLS every call goes straight to the layer below.
//
// The settings (TlsEnabled, TlsServerName, TlsCaFile) survive a close.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/WSocketSocks.h"
#include "platform/tls.h"

constexpr std::int32_t kTlsErrorHandshake = plat::kTlsErrorHandshake;
constexpr std::int32_t kTlsErrorUntrusted = plat::kTlsErrorUntrusted;
constexpr std::int32_t kTlsErrorNameMismatch = plat::kTlsErrorNameMismatch;
constexpr std::int32_t kTlsErrorExpired = plat::kTlsErrorExpired;
constexpr std::int32_t kTlsErrorNoCloseNotify = plat::kTlsErrorNoCloseNotify;
constexpr std::int32_t kTlsErrorCaFile = plat::kTlsErrorCaFile;

// Posted to the socket's own window: the session has ended (the peer's
// close_notify, or a record that failed), handled as the peer's close.
// wParam the socket handle, lParam the session's serial number.
constexpr std::uint32_t MsgTlsEnded = plat::kWmUser + 24;
// Posted: an upgrade failed before a byte was sent (the CA file); its
// OnTlsDone comes from the event loop, like every other outcome.
constexpr std::uint32_t MsgTlsStartFailed = plat::kWmUser + 25;

// Where the session stands.
enum class TTlsPhase : std::uint8_t {
  kOff,         // no TLS on this connection (yet)
  kConnecting,  // handshake right after the connection, OnSessionConnected pending
  kUpgrading,   // handshake asked for by StartTls, OnTlsDone pending
  kActive,      // the session carries the data
  // The handshake failed: nothing more goes out, in clear or otherwise,
  // until the socket is closed (a handler of the failure may try to send).
  kFailed,
};

// The layer's state of one connection, put back by every close.
struct TTlsSession {
  TTlsPhase Phase = TTlsPhase::kOff;
  std::unique_ptr<plat::TlsClient> Engine;
  // Decrypted bytes not yet read; Plain[PlainStart..] are unread.
  std::string Plain;
  std::size_t PlainStart = 0;
  // Plain text the application sent before the handshake was done.
  std::string Pending;
  // The peer closed the TCP connection (a raw read returned 0).
  bool RawEnd = false;
  // The error that ended the session once it was active, 0 when none.
  int Failure = 0;
  // MsgTlsEnded is on its way.
  bool EndPosted = false;
  // How many of the first two bytes from the peer have been looked at.
  int HeadChecked = 0;
  std::size_t Unread() const { return Plain.size() - PlainStart; }
};

class TCustomTlsWSocket : public TCustomSocksWSocket {
 public:
  explicit TCustomTlsWSocket(TComponent* owner);
  ~TCustomTlsWSocket() override;

  bool TlsEnabled() const { return FTlsEnabled; }
  void SetTlsEnabled(bool value) { FTlsEnabled = value; }
  // The name to verify and send as SNI (no SNI for an IPv4 address); empty
  // means the Addr text.
  const std::string& TlsServerName() const { return FTlsServerName; }
  void SetTlsServerName(const std::string& value) { FTlsServerName = value; }
  // A PEM bundle trusted instead of the system's store; empty means the
  // system's store.
  const std::string& TlsCaFile() const { return FTlsCaFile; }
  void SetTlsCaFile(const std::string& value) { FTlsCaFile = value; }
  // Upgrades the connected socket; the outcome comes through OnTlsDone.
  virtual void StartTls();
  // A TLS session carries the data now.
  bool TlsActive() const { return FTls.Phase == TTlsPhase::kActive; }

  std::function<void(TObject* Sender, std::uint16_t Error)> OnTlsDone;

  int Send(const void* data, int length) override;

 protected:
  void HandleWindowMessage(TMessage& msg) override;
  void ResetDefaults() override;
  void ForgetConnectionData() override;
  void DoClose(bool shut, std::uint16_t error) override;
  bool FireDataAvailable(std::uint16_t error) override;
  void FireSessionConnected(std::uint16_t error) override;
  void FireSessionClosed(std::uint16_t error) override;
  void FireDataSent(std::uint16_t error) override;
  std::int32_t QueryRcvdCount() override;
  std::int32_t LayersHold() override;
  bool Negotiating() const override {
    return TlsNegotiating() || TCustomSocksWSocket::Negotiating();
  }
  int RecvRaw(void* buffer, int size, int flags) override;

  virtual void FireTlsDone(std::uint16_t error);
  // No TLS, and the layers below pass received data through: the core's
  // FireDataAvailable does what this layer's would.
  bool DataPassesThrough() const {
    return FTls.Phase == TTlsPhase::kOff && TCustomSocksWSocket::DataPassesThrough();
  }
  // A handshake is under way: the bytes that arrive are the engine's, not
  // data for the layers above.
  bool TlsNegotiating() const {
    return FTls.Phase == TTlsPhase::kConnecting || FTls.Phase == TTlsPhase::kUpgrading;
  }

  bool FTlsEnabled = false;
  std::string FTlsServerName;
  std::string FTlsCaFile;
  TTlsSession FTls;
  // Tells a session's MsgTlsEnded from a later session's.
  std::uint16_t FTlsSerial = 0;

 private:
  void BeginTls(TTlsPhase phase);
  // Reads one piece from the layer below and runs it through the engine;
  // the raw read's result.
  int PullRecords();
  // Sends records as they are (the layer below's Send).
  void SendRecords(const std::string& records);
  void HandshakeStep();
  void HandshakeDone();
  void HandshakeFailed(int error);
  // The active session has ended (close_notify or a failed record): the
  // close is reported from the event loop, as the peer's close is.
  void NoteEnded();
  void DropSession();
  // Reads the plain text held, at most `size` bytes.
  int TakePlain(void* buffer, int size);
  // What the certificate must carry: a name, or an address written in any
  // form the resolver takes (127.0.0.075 is octal, 2001:db8:0::1 has
  // zeros to compress), checked as the address the socket connected to,
  // never as a different reading of the text.
  plat::TlsClientSettings TlsTarget() const;
  // Raw bytes read from the layer below, one piece at a time.
  std::unique_ptr<char[]> FRawChunk;
};
