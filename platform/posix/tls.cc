// The TLS engine on OpenSSL: the session reads from one memory BIO and
// writes to another, so it never touches the socket; the caller moves the
// bytes.
//
// The system's libssl is loaded the first time a TLS session starts, not
// when the program starts: mapping and relocating libssl and libcrypto
// doubled the start-up of every run, TLS or not (about a millisecond of
// processor time), the way the socket library is bound at its first use.
//
// The system's trust store is searched lazily: the session's context knows
// only the hashed directory (OpenSSL's default one, or SSL_CERT_DIR), where a
// lookup parses just the certificates whose subject it needs. Parsing the
// whole default bundle took four times the CPU of the rest of a run; it is
// read only when the directory cannot complete a chain (a system without a
// hashed directory, or one that lacks the issuer), and then once per process.
#include "platform/tls.h"

#include <dlfcn.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <map>
#include <mutex>

namespace plat {
namespace {

// Every OpenSSL call the engine makes; the headers give their types.
// clang-format off
#define KESTRUN_OPENSSL_CALLS(X) \
  X(OPENSSL_init_ssl) X(TLS_client_method) X(SSL_CTX_new) X(SSL_CTX_free) \
  X(SSL_CTX_ctrl) X(SSL_CTX_set_verify) X(SSL_CTX_set_default_verify_paths) X(SSL_CTX_load_verify_locations) \
  X(SSL_new) X(SSL_free) X(SSL_ctrl) X(SSL_set_bio) \
  X(SSL_set_connect_state) X(SSL_get0_param) X(SSL_set_hostflags) X(SSL_set1_host) \
  X(SSL_do_handshake) X(SSL_get_error) X(SSL_get_verify_result) X(SSL_read) \
  X(SSL_write) X(SSL_shutdown) X(X509_VERIFY_PARAM_set1_ip_asc) X(X509_VERIFY_PARAM_set1_ip) X(BIO_s_mem) \
  X(BIO_new) X(BIO_free) X(BIO_ctrl) X(BIO_ctrl_pending) \
  X(BIO_read) X(BIO_write) X(ERR_clear_error) \
  X(SSL_CTX_set_default_verify_dir) X(SSL_in_init) X(CRYPTO_get_ex_new_index) \
  X(X509_STORE_new) X(X509_STORE_free) X(X509_STORE_set_default_paths) \
  X(X509_STORE_CTX_new) X(X509_STORE_CTX_free) X(X509_STORE_CTX_init) \
  X(X509_STORE_CTX_get_error) X(X509_STORE_CTX_set_error) X(X509_STORE_CTX_get_ex_data) \
  X(X509_STORE_CTX_set_ex_data) X(X509_STORE_CTX_get0_cert) X(X509_STORE_CTX_get0_untrusted) \
  X(X509_STORE_CTX_get0_param) X(X509_VERIFY_PARAM_set1) X(X509_verify_cert) \
  X(ERR_set_mark) X(ERR_pop_to_mark) \
  X(SSL_get_version) X(SSL_get1_peer_certificate) X(X509_get_subject_name) X(X509_NAME_print_ex) X(X509_free)
// clang-format on

struct OpenSslCalls {
#define KESTRUN_OPENSSL_MEMBER(name) decltype(&::name) name = nullptr;
  KESTRUN_OPENSSL_CALLS(KESTRUN_OPENSSL_MEMBER)
#undef KESTRUN_OPENSSL_MEMBER
};

// The bound calls, or null when the library or one of its entry points is
// missing. Bound once; the library stays loaded until the process ends.
const OpenSslCalls* OpenSsl() {
  static const OpenSslCalls* const bound = []() -> const OpenSslCalls* {
    void* library = dlopen("libssl.so.3", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    static OpenSslCalls calls;
    bool complete = true;
#define KESTRUN_OPENSSL_BIND(name)                                         \
  calls.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name)); \
  complete = complete && calls.name != nullptr;
    KESTRUN_OPENSSL_CALLS(KESTRUN_OPENSSL_BIND)
#undef KESTRUN_OPENSSL_BIND
    return complete ? &calls : nullptr;
  }();
  return bound;
}

// Set once OpenSsl() has succeeded, which every session's start checks
// before it makes any other call.
const OpenSslCalls* ssl = nullptr;

struct CtxFree {
  void operator()(SSL_CTX* c) const { ssl->SSL_CTX_free(c); }
};
struct SslFree {
  void operator()(SSL* s) const { ssl->SSL_free(s); }
};
struct StoreFree {
  void operator()(X509_STORE* s) const { ssl->X509_STORE_free(s); }
};
struct StoreCtxFree {
  void operator()(X509_STORE_CTX* c) const { ssl->X509_STORE_CTX_free(c); }
};

// The chain errors that say only that the store searched lacks an issuer
// (or a trusted copy of a self-signed certificate): the whole store may
// still have it. Every other error would be the same with any store.
bool IssuerMissing(int error) {
  switch (error) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return true;
    default:
      return false;
  }
}

// The system's whole store (the default bundle file and the hashed
// directory), made the first time the directory alone falls short and kept
// for the process; null when it cannot be made.
X509_STORE* WholeSystemStore() {
  static std::mutex lock;
  static std::unique_ptr<X509_STORE, StoreFree> store;
  static bool made = false;
  std::lock_guard<std::mutex> hold(lock);
  if (!made) {
    made = true;
    store.reset(ssl->X509_STORE_new());
    if (store && ssl->X509_STORE_set_default_paths(store.get()) != 1) store.reset();
  }
  return store.get();
}

// Where a verification keeps the whole store's verdict on its chain.
int VouchedIndex() {
  static const int index = ssl->CRYPTO_get_ex_new_index(CRYPTO_EX_INDEX_X509_STORE_CTX, 0, nullptr,
                                                        nullptr, nullptr, nullptr);
  return index;
}
char vouched;

// The whole store's verification of the chain `ctx` is verifying: the same
// leaf, the same certificates from the server and the same parameters (the
// name or address, the purpose, the depth, the security level). X509_V_OK,
// or its error.
int VerifyWithWholeStore(X509_STORE_CTX* ctx) {
  X509_STORE* whole = WholeSystemStore();
  if (whole == nullptr) return X509_V_ERR_UNSPECIFIED;
  std::unique_ptr<X509_STORE_CTX, StoreCtxFree> again(ssl->X509_STORE_CTX_new());
  if (!again ||
      ssl->X509_STORE_CTX_init(again.get(), whole, ssl->X509_STORE_CTX_get0_cert(ctx),
                               ssl->X509_STORE_CTX_get0_untrusted(ctx)) != 1 ||
      ssl->X509_VERIFY_PARAM_set1(ssl->X509_STORE_CTX_get0_param(again.get()),
                                  ssl->X509_STORE_CTX_get0_param(ctx)) != 1) {
    return X509_V_ERR_UNSPECIFIED;
  }
  if (ssl->X509_verify_cert(again.get()) == 1) return X509_V_OK;
  int error = ssl->X509_STORE_CTX_get_error(again.get());
  return error != X509_V_OK ? error : X509_V_ERR_UNSPECIFIED;
}

// The verification callback of the context that searches the hashed
// directory only. When the directory cannot complete the chain, the whole
// store verifies it again from the start: its verdict stands, and once it
// has vouched for the chain, what the incomplete chain still trips over
// in this verification is no error.
int VerifyFromDirectory(int ok, X509_STORE_CTX* ctx) {
  if (ssl->X509_STORE_CTX_get_ex_data(ctx, VouchedIndex()) == &vouched) {
    ssl->X509_STORE_CTX_set_error(ctx, X509_V_OK);
    return 1;
  }
  if (ok == 1) return 1;
  int error = ssl->X509_STORE_CTX_get_error(ctx);
  if (!IssuerMissing(error)) return 0;
  // Lookups that fail leave errors behind, which the session would take
  // for its own failure.
  ssl->ERR_set_mark();
  int verdict = VerifyWithWholeStore(ctx);
  ssl->ERR_pop_to_mark();
  if (verdict != X509_V_OK) {
    ssl->X509_STORE_CTX_set_error(ctx, verdict);
    return 0;
  }
  if (ssl->X509_STORE_CTX_set_ex_data(ctx, VouchedIndex(), &vouched) != 1) return 0;
  ssl->X509_STORE_CTX_set_error(ctx, X509_V_OK);
  return 1;
}

// The client context for a trust source (a CA file, or "" for the
// system's store), made once per process. A file that cannot be read is
// tried again next time. Null on failure, with the TLS error number in
// `error`.
SSL_CTX* SharedContext(const std::string& caFile, int& error) {
  // OpenSSL sets itself up first, so that its own clean-up at exit comes
  // after the contexts are freed.
  if (ssl == nullptr && (ssl = OpenSsl()) == nullptr) {
    error = kTlsErrorHandshake;
    return nullptr;
  }
  // Its error texts are never shown (failures map to our own numbers), and
  // loading them cost about 2 ms of processor time per run.
  static const bool ready =
      ssl->OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_SSL_STRINGS | OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS,
                            nullptr) == 1 &&
      VouchedIndex() >= 0;
  static std::mutex lock;
  static std::map<std::string, std::unique_ptr<SSL_CTX, CtxFree>> made;
  std::lock_guard<std::mutex> hold(lock);
  if (auto it = made.find(caFile); it != made.end()) return it->second.get();
  std::unique_ptr<SSL_CTX, CtxFree> ctx(ssl->SSL_CTX_new(ssl->TLS_client_method()));
  if (!ready || !ctx) {
    error = kTlsErrorHandshake;
    return nullptr;
  }
  ssl->SSL_CTX_ctrl(ctx.get(), SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
  // Plain text held through a renegotiation is written again from the
  // session's own buffer, which may have moved since the first try.
  ssl->SSL_CTX_ctrl(ctx.get(), SSL_CTRL_MODE, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER, nullptr);
  ssl->SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  if (!caFile.empty()) {
    if (ssl->SSL_CTX_load_verify_locations(ctx.get(), caFile.c_str(), nullptr) != 1) {
      error = kTlsErrorCaFile;
      return nullptr;
    }
  } else if (std::getenv("SSL_CERT_FILE") != nullptr) {
    // A bundle the user names is read whole, as every OpenSSL program
    // reads it.
    if (ssl->SSL_CTX_set_default_verify_paths(ctx.get()) != 1) {
      error = kTlsErrorUntrusted;
      return nullptr;
    }
  } else {
    if (ssl->SSL_CTX_set_default_verify_dir(ctx.get()) != 1) {
      error = kTlsErrorUntrusted;
      return nullptr;
    }
    ssl->SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, VerifyFromDirectory);
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

// The name as the certificate and SNI know it: an absolute name's one
// trailing dot ("localhost.") is no part of either.
std::string CertificateName(const std::string& name) {
  if (name.size() > 1 && name.back() == '.') return name.substr(0, name.size() - 1);
  return name;
}

class OpenSslClient final : public TlsClient {
 public:
  explicit OpenSslClient(const TlsClientSettings& settings)
      : settings_(settings), name_(CertificateName(settings.serverName)) {}

  int Start(std::string& out) override {
    int error = 0;
    SSL_CTX* ctx = SharedContext(settings_.caFile, error);
    if (ctx == nullptr) return Fail(error);
    ssl_.reset(ssl->SSL_new(ctx));
    if (!ssl_) return Fail(kTlsErrorHandshake);
    BIO* in = ssl->BIO_new(ssl->BIO_s_mem());
    BIO* outBio = ssl->BIO_new(ssl->BIO_s_mem());
    if (in == nullptr || outBio == nullptr) {
      ssl->BIO_free(in);
      ssl->BIO_free(outBio);
      return Fail(kTlsErrorHandshake);
    }
    // An empty input means "more to come", never the end of the stream:
    // the end is the socket's business, and a close_notify is the peer's.
    ssl->BIO_ctrl(in, BIO_C_SET_BUF_MEM_EOF_RETURN, -1, nullptr);
    ssl->BIO_ctrl(outBio, BIO_C_SET_BUF_MEM_EOF_RETURN, -1, nullptr);
    ssl->SSL_set_bio(ssl_.get(), in, outBio);
    in_ = in;
    out_ = outBio;
    ssl->SSL_set_connect_state(ssl_.get());
    if (name_.empty() || name_ == ".") return Fail(kTlsErrorNameMismatch);
    if (!settings_.address.empty()) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(settings_.address.data());
      if (ssl->X509_VERIFY_PARAM_set1_ip(ssl->SSL_get0_param(ssl_.get()), bytes,
                                         settings_.address.size()) != 1)
        return Fail(kTlsErrorHandshake);
    } else if (IsIpv4Literal(name_)) {
      if (ssl->X509_VERIFY_PARAM_set1_ip_asc(ssl->SSL_get0_param(ssl_.get()), name_.c_str()) != 1)
        return Fail(kTlsErrorHandshake);
    } else {
      ssl->SSL_set_hostflags(ssl_.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      if (ssl->SSL_set1_host(ssl_.get(), name_.c_str()) != 1 ||
          ssl->SSL_ctrl(ssl_.get(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                        const_cast<char*>(name_.c_str())) != 1) {
        return Fail(kTlsErrorHandshake);
      }
    }
    return Step(out);
  }

  int Receive(const char* data, std::size_t length, std::string& out, std::string& plain) override {
    if (failure_ != 0) return failure_;
    if (peerClosed_ || !ssl_) return 0;
    if (length > 0 &&
        ssl->BIO_write(in_, data, static_cast<int>(length)) != static_cast<int>(length))
      return Fail(kTlsErrorHandshake);
    if (!established_) {
      if (int error = Step(out); error != 0 || !established_) return error;
    }
    // Records behind the handshake's last one (a greeting) are read now;
    // a renegotiation the server asks for runs inside these reads.
    char chunk[16384];
    for (;;) {
      ssl->ERR_clear_error();
      int n = ssl->SSL_read(ssl_.get(), chunk, sizeof chunk);
      if (n > 0) {
        plain.append(chunk, static_cast<std::size_t>(n));
        continue;
      }
      int reason = ssl->SSL_get_error(ssl_.get(), n);
      if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) break;
      if (reason == SSL_ERROR_ZERO_RETURN) {
        peerClosed_ = true;
        break;
      }
      Drain(out);
      return Fail(kTlsErrorHandshake);
    }
    // What waited for a renegotiation to finish goes out behind its records.
    if (int error = Flush(out); error != 0) return error;
    Drain(out);
    return 0;
  }

  bool Established() const override { return established_; }
  bool PeerClosed() const override { return peerClosed_; }

  int Send(const char* data, std::size_t length, std::string& out) override {
    if (!established_ || failure_ != 0) return kTlsErrorHandshake;
    if (!held_.empty()) {
      // Behind what is already waiting, never before it.
      held_.append(data, length);
      return Flush(out);
    }
    while (length > 0) {
      int piece = length > 16384 ? 16384 : static_cast<int>(length);
      if (int error = Write(data, piece); error != 0) return error;
      if (retry_ != 0) {
        held_.assign(data, length);
        break;
      }
      data += piece;
      length -= static_cast<std::size_t>(piece);
    }
    Drain(out);
    return 0;
  }

  void Shutdown(std::string& out) override {
    if (!established_ || shutdownSent_ || failure_ != 0) return;
    // A close_notify must not overtake the plain text still held, and
    // cannot go out in the middle of a handshake.
    if (!held_.empty() || ssl->SSL_in_init(ssl_.get()) == 1) {
      shutdownWanted_ = true;
      return;
    }
    shutdownSent_ = true;
    ssl->ERR_clear_error();
    ssl->SSL_shutdown(ssl_.get());
    Drain(out);
  }

  std::string Summary() const override {
    if (!established_) return "TLS not established";
    std::string subject = "(none)";
    if (X509* cert = ssl->SSL_get1_peer_certificate(ssl_.get())) {
      if (BIO* text = ssl->BIO_new(ssl->BIO_s_mem())) {
        if (ssl->X509_NAME_print_ex(text, ssl->X509_get_subject_name(cert), 0, XN_FLAG_RFC2253) >=
            0) {
          char buffer[512];
          int n = ssl->BIO_read(text, buffer, sizeof buffer);
          if (n > 0) subject.assign(buffer, static_cast<std::size_t>(n));
        }
        ssl->BIO_free(text);
      }
      ssl->X509_free(cert);
    }
    const char* version = ssl->SSL_get_version(ssl_.get());
    std::string name = version != nullptr ? version : "TLS";
    // "TLSv1.3" reads better as "TLS 1.3".
    if (name.rfind("TLSv", 0) == 0) name = "TLS " + name.substr(4);
    return name + ", certificate: " + subject;
  }

 private:
  int Fail(int error) {
    failure_ = error;
    if (ssl != nullptr) ssl->ERR_clear_error();
    return error;
  }

  // Moves the handshake on as far as the input allows.
  int Step(std::string& out) {
    ssl->ERR_clear_error();
    int r = ssl->SSL_do_handshake(ssl_.get());
    int reason = r == 1 ? SSL_ERROR_NONE : ssl->SSL_get_error(ssl_.get(), r);
    // Whatever it wants sent goes out, an alert after a failure too.
    Drain(out);
    if (r == 1) {
      established_ = true;
      return 0;
    }
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) return 0;
    long verify = ssl->SSL_get_verify_result(ssl_.get());
    return Fail(verify != X509_V_OK ? VerifyFailure(verify) : kTlsErrorHandshake);
  }

  // Writes one piece of plain text. In the middle of a renegotiation the
  // session wants the server's records first: then `retry_` keeps the
  // piece's length, since the next try must offer the same bytes again.
  int Write(const char* data, int piece) {
    ssl->ERR_clear_error();
    int n = ssl->SSL_write(ssl_.get(), data, piece);
    if (n == piece) {
      retry_ = 0;
      return 0;
    }
    int reason = ssl->SSL_get_error(ssl_.get(), n);
    if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
      retry_ = piece;
      return 0;
    }
    return Fail(kTlsErrorHandshake);
  }

  // Writes what is held, in order, as far as the session lets it.
  int Flush(std::string& out) {
    while (heldAt_ < held_.size()) {
      std::size_t left = held_.size() - heldAt_;
      int piece = retry_ != 0 ? retry_ : left > 16384 ? 16384 : static_cast<int>(left);
      if (int error = Write(held_.data() + heldAt_, piece); error != 0) {
        Drain(out);
        return error;
      }
      if (retry_ != 0) break;
      heldAt_ += static_cast<std::size_t>(piece);
    }
    if (heldAt_ == held_.size()) {
      held_.clear();
      heldAt_ = 0;
    }
    Drain(out);
    if (shutdownWanted_ && held_.empty() && ssl->SSL_in_init(ssl_.get()) != 1) {
      shutdownWanted_ = false;
      Shutdown(out);
    }
    return 0;
  }

  void Drain(std::string& out) {
    char chunk[16384];
    while (ssl->BIO_ctrl_pending(out_) > 0) {
      int n = ssl->BIO_read(out_, chunk, sizeof chunk);
      if (n <= 0) break;
      out.append(chunk, static_cast<std::size_t>(n));
    }
  }

  TlsClientSettings settings_;
  std::string name_;
  std::unique_ptr<SSL, SslFree> ssl_;
  BIO* in_ = nullptr;   // owned by ssl_
  BIO* out_ = nullptr;  // owned by ssl_
  bool established_ = false;
  bool peerClosed_ = false;
  bool shutdownSent_ = false;
  bool shutdownWanted_ = false;
  // Plain text the application sent while a renegotiation was under way:
  // what is left of it from heldAt_ on.
  std::string held_;
  std::size_t heldAt_ = 0;
  // The length of the piece the session refused for now; 0 when none.
  int retry_ = 0;
  int failure_ = 0;
};

}  // namespace

std::unique_ptr<TlsClient> NewTlsClient(const TlsClientSettings& settings) {
  return std::make_unique<OpenSslClient>(settings);
}

}  // namespace plat
