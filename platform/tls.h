// A TLS client engine that works on byte buffers, never on a socket: the
// caller hands it what arrived from the network and sends what it produces.
// That keeps the engine out of the event loop (no blocking call, no thread)
// and lets it run inside whatever carries the bytes (a SOCKS tunnel, or a
// connection that spoke plain text first).
//
// Linux: OpenSSL with memory BIOs. Windows: SChannel on buffers, with the
// certificate checked by the system's chain engine. Both require TLS 1.2 or
// newer and always verify the server: the whole chain (against the system
// store, or a CA file instead), the name or address against the
// certificate's subjectAltName, and the validity dates. There is no way to
// turn verification off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace plat {

// The TLS error numbers, their constants and English texts:
// X(name, number, text). They sit beside the socket error numbers and read
// like them in SocketErrorText.
#define PLAT_TLS_ERRORS(X)                                                       \
  X(kTlsErrorHandshake, 20101, "TLS handshake failed")                           \
  X(kTlsErrorUntrusted, 20102, "TLS certificate not trusted")                    \
  X(kTlsErrorNameMismatch, 20103, "TLS certificate issued for another name")     \
  X(kTlsErrorExpired, 20104, "TLS certificate expired or not yet valid")         \
  X(kTlsErrorNoCloseNotify, 20105, "TLS connection closed without close_notify") \
  X(kTlsErrorCaFile, 20106, "TLS CA file cannot be read")

#define PLAT_TLS_ERROR_CONSTANT(name, number, text) constexpr int name = number;
PLAT_TLS_ERRORS(PLAT_TLS_ERROR_CONSTANT)
#undef PLAT_TLS_ERROR_CONSTANT

// The English text of a TLS error number, or nullptr for any other number.
inline const char* TlsErrorText(int error) {
  switch (error) {
#define PLAT_TLS_ERROR_TEXT(name, number, text) \
  case number:                                  \
    return text;
    PLAT_TLS_ERRORS(PLAT_TLS_ERROR_TEXT)
#undef PLAT_TLS_ERROR_TEXT
    default:
      return nullptr;
  }
}

struct TlsClientSettings {
  // What the certificate must name: a host name (also sent as SNI) or an
  // IPv4 address in dotted form (matched against IP subjectAltNames; no SNI).
  std::string serverName;
  // A PEM file of CA certificates trusted instead of the system's store;
  // empty for the system's store.
  std::string caFile;
  // When the server is named by an address: its 4 (IPv4) or 16 (IPv6)
  // bytes in network order, matched against the IP subjectAltNames, and no
  // SNI. Empty for a host name (and for a dotted IPv4 serverName, which is
  // read from the text).
  std::string address;
};

// One client session. Every call returns at once; the engine keeps what it
// cannot use yet (half a record) until more arrives.
class TlsClient {
 public:
  virtual ~TlsClient() = default;

  // Starts the handshake: the first records to send are appended to `out`.
  // 0, or a TLS error number (kTlsErrorCaFile, kTlsErrorHandshake).
  virtual int Start(std::string& out) = 0;
  // Takes bytes that arrived from the peer. Records to send back are
  // appended to `out`, decrypted application data to `plain`. 0, or the
  // TLS error number that ends the session (a failed handshake or
  // certificate check, a corrupt record). Bytes after a close_notify are
  // ignored.
  virtual int Receive(const char* data, std::size_t length, std::string& out,
                      std::string& plain) = 0;
  // The handshake and the certificate check are done.
  virtual bool Established() const = 0;
  // The peer has sent close_notify.
  virtual bool PeerClosed() const = 0;
  // Encrypts application data into records appended to `out`; only once
  // established. 0, or kTlsErrorHandshake when the session cannot send.
  virtual int Send(const char* data, std::size_t length, std::string& out) = 0;
  // Appends this side's close_notify to `out` (once; later calls add
  // nothing).
  virtual void Shutdown(std::string& out) = 0;
  // Once established: the protocol version and the subject of the server's
  // certificate, in one line ("TLS 1.2, certificate: CN=news.example").
  virtual std::string Summary() const = 0;
};

// A new client session for `settings`; never null.
std::unique_ptr<TlsClient> NewTlsClient(const TlsClientSettings& settings);

// Whether `text` is an IPv4 address in dotted decimal form (four numbers of
// 0 to 255): such a name is matched as an address and sent as no SNI.
inline bool IsIpv4Literal(const std::string& text) {
  int parts = 0, digits = 0, value = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      value = value * 10 + (c - '0');
      if (++digits > 3 || value > 255) return false;
    } else if (c == '.' && digits > 0 && parts < 3) {
      ++parts;
      digits = value = 0;
    } else {
      return false;
    }
  }
  return parts == 3 && digits > 0;
}

}  // namespace plat
