// The TLS engine on OpenSSL: the session reads from one memory BIO and
// writes to another, so it never touches the socket; the caller moves the
// bytes.
#include "platform/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <map>
#include <mutex>

namespace plat {
namespace {

struct CtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};

// The client context for a trust source (a CA file, or "" for the
// system's store), made once per process: loading the system's bundle
// takes a tenth of a second, too long to pay on every connection. A file
// that cannot be read is tried again next time. Null on failure, with the
// TLS error number in `error`.
SSL_CTX* SharedContext(const std::string& caFile, int& error) {
  // OpenSSL sets itself up first, so that its own clean-up at exit comes
  // after the contexts are freed.
  static const bool ready = OPENSSL_init_ssl(0, nullptr) == 1;
  static std::mutex lock;
  static std::map<std::string, std::unique_ptr<SSL_CTX, CtxFree>> made;
  std::lock_guard<std::mutex> hold(lock);
  if (auto it = made.find(caFile); it != made.end()) return it->second.get();
  std::unique_ptr<SSL_CTX, CtxFree> ctx(SSL_CTX_new(TLS_client_method()));
  if (!ready || !ctx) {
    error = kTlsErrorHandshake;
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  if (caFile.empty()) {
    if (SSL_CTX_set_default_verify_paths(ctx.get()) != 1) {
      error = kTlsErrorUntrusted;
      return nullptr;
    }
  } else if (SSL_CTX_load_verify_locations(ctx.get(), caFile.c_str(), nullptr) != 1) {
    error = kTlsErrorCaFile;
    return nullptr;
  }
  return (made[caFile] = std::move(ctx)).get();
}

// What a failed verification means to the caller.
int VerifyFailure(long result) {
  switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return kTlsErrorExpired;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return kTlsErrorNameMismatch;
    default:
      return kTlsErrorUntrusted;
  }
}

class OpenSslClient final : public TlsClient {
 public:
  explicit OpenSslClient(const TlsClientSettings& settings) : settings_(settings) {}

  int Start(std::string& out) override {
    int error = 0;
    SSL_CTX* ctx = SharedContext(settings_.caFile, error);
    if (ctx == nullptr) return Fail(error);
    ssl_.reset(SSL_new(ctx));
    if (!ssl_) return Fail(kTlsErrorHandshake);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* outBio = BIO_new(BIO_s_mem());
    if (in == nullptr || outBio == nullptr) {
      BIO_free(in);
      BIO_free(outBio);
      return Fail(kTlsErrorHandshake);
    }
    // An empty input means "more to come", never the end of the stream:
    // the end is the socket's business, and a close_notify is the peer's.
    BIO_set_mem_eof_return(in, -1);
    BIO_set_mem_eof_return(outBio, -1);
    SSL_set_bio(ssl_.get(), in, outBio);
    in_ = in;
    out_ = outBio;
    SSL_set_connect_state(ssl_.get());
    const std::string& name = settings_.serverName;
    if (name.empty()) return Fail(kTlsErrorNameMismatch);
    if (IsIpv4Literal(name)) {
      if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), name.c_str()) != 1)
        return Fail(kTlsErrorHandshake);
    } else {
      SSL_set_hostflags(ssl_.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      if (SSL_set1_host(ssl_.get(), name.c_str()) != 1 ||
          SSL_set_tlsext_host_name(ssl_.get(), name.c_str()) != 1) {
        return Fail(kTlsErrorHandshake);
      }
    }
    return Step(out);
  }

  int Receive(const char* data, std::size_t length, std::string& out, std::string& plain) override {
    if (failure_ != 0) return failure_;
    if (peerClosed_ || !ssl_) return 0;
    if (length > 0 && BIO_write(in_, data, static_cast<int>(length)) != static_cast<int>(length))
      return Fail(kTlsErrorHandshake);
    if (!established_) {
      if (int error = Step(out); error != 0 || !established_) return error;
    }
    // Records behind the handshake's last one (a greeting) are read now.
    char chunk[16384];
    for (;;) {
      ERR_clear_error();
      int n = SSL_read(ssl_.get(), chunk, sizeof chunk);
      if (n > 0) {
        plain.append(chunk, static_cast<std::size_t>(n));
        continue;
      }
      int reason = SSL_get_error(ssl_.get(), n);
      if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) break;
      if (reason == SSL_ERROR_ZERO_RETURN) {
        peerClosed_ = true;
        break;
      }
      Drain(out);
      return Fail(kTlsErrorHandshake);
    }
    Drain(out);
    return 0;
  }

  bool Established() const override { return established_; }
  bool PeerClosed() const override { return peerClosed_; }

  int Send(const char* data, std::size_t length, std::string& out) override {
    if (!established_ || failure_ != 0) return kTlsErrorHandshake;
    // Written to memory, so it never stops part way.
    while (length > 0) {
      int piece = length > 16384 ? 16384 : static_cast<int>(length);
      ERR_clear_error();
      if (SSL_write(ssl_.get(), data, piece) != piece) {
        Drain(out);
        return Fail(kTlsErrorHandshake);
      }
      data += piece;
      length -= static_cast<std::size_t>(piece);
    }
    Drain(out);
    return 0;
  }

  void Shutdown(std::string& out) override {
    if (!established_ || shutdownSent_ || failure_ != 0) return;
    shutdownSent_ = true;
    ERR_clear_error();
    SSL_shutdown(ssl_.get());
    Drain(out);
  }

 private:
  int Fail(int error) {
    failure_ = error;
    ERR_clear_error();
    return error;
  }

  // Moves the handshake on as far as the input allows.
  int Step(std::string& out) {
    ERR_clear_error();
    int r = SSL_do_handshake(ssl_.get());
    int reason = r == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_.get(), r);
    // Whatever it wants sent goes out, an alert after a failure too.
    Drain(out);
    if (r == 1) {
      established_ = true;
      return 0;
    }
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) return 0;
    long verify = SSL_get_verify_result(ssl_.get());
    return Fail(verify != X509_V_OK ? VerifyFailure(verify) : kTlsErrorHandshake);
  }

  void Drain(std::string& out) {
    char chunk[16384];
    while (BIO_ctrl_pending(out_) > 0) {
      int n = BIO_read(out_, chunk, sizeof chunk);
      if (n <= 0) break;
      out.append(chunk, static_cast<std::size_t>(n));
    }
  }

  TlsClientSettings settings_;
  std::unique_ptr<SSL, SslFree> ssl_;
  BIO* in_ = nullptr;   // owned by ssl_
  BIO* out_ = nullptr;  // owned by ssl_
  bool established_ = false;
  bool peerClosed_ = false;
  bool shutdownSent_ = false;
  int failure_ = 0;
};

}  // namespace

std::unique_ptr<TlsClient> NewTlsClient(const TlsClientSettings& settings) {
  return std::make_unique<OpenSslClient>(settings);
}

}  // namespace plat
