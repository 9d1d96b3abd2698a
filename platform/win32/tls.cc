// The TLS engine on SChannel, the system's own TLS: InitializeSecurityContext,
// EncryptMessage and DecryptMessage on buffers, never on the socket.
//
// SChannel is told to leave the certificate alone (manual validation),
// because wine's SChannel never checks it whatever it is told; the chain is
// checked here with the system's chain engine (or one whose only root is
// the CA file), then the SSL policy with the server name. Wine's policy
// matches DNS names only, so an address is compared with the
// certificate's IP subjectAltNames here.
//
// A renegotiation the server asks for (SEC_I_RENEGOTIATE) runs on the same
// buffers as the first handshake, and its certificate is checked the same
// way; what the application sends meanwhile is held and encrypted, in order,
// once the new session keys are there.
#include "platform/tls.h"

#include <fstream>
#include <iterator>
#include <vector>

#include "platform/win32/win.h"

#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <wincrypt.h>

namespace plat {
namespace {

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_USE_SUPPLIED_CREDS;

// What wine accepts as the size of a chain engine's configuration that
// carries an exclusive root: its own structure ends after
// hExclusiveTrustedPeople (the 52 bytes of newer headers are refused, and
// 40 drops the exclusive root without a word).
constexpr DWORD kEngineConfigSize = 48;

// Trust errors that mean only that revocation could not be checked: a
// private CA has no revocation list, and that is not a reason to refuse.
constexpr DWORD kRevocationOnly =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
// SECURITY_FLAG_IGNORE_CERT_CN_INVALID, which only <wininet.h> names.
constexpr DWORD kIgnoreCertCnInvalid = 0x00001000;
// Trust errors that are about dates.
constexpr DWORD kTimeErrors = CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED;

// Whether this runs under wine, whose ntdll says so; asked once.
bool UnderWine() {
  static const bool wine = [] {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

// The name as the certificate and SNI know it: an absolute name's one
// trailing dot ("localhost.") is no part of either.
std::string CertificateName(const std::string& name) {
  if (name.size() > 1 && name.back() == '.') return name.substr(0, name.size() - 1);
  return name;
}

// The certificates of a PEM file, in a memory store; null when the file
// cannot be read or holds none.
HCERTSTORE LoadCaFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return nullptr;
  std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (store == nullptr) return nullptr;
  static const std::string kBegin = "-----BEGIN CERTIFICATE-----";
  static const std::string kEnd = "-----END CERTIFICATE-----";
  int count = 0;
  for (std::size_t at = pem.find(kBegin); at != std::string::npos; at = pem.find(kBegin, at)) {
    std::size_t end = pem.find(kEnd, at);
    if (end == std::string::npos) break;
    end += kEnd.size();
    DWORD size = 0;
    const char* block = pem.data() + at;
    auto length = static_cast<DWORD>(end - at);
    if (CryptStringToBinaryA(block, length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                             nullptr)) {
      std::vector<BYTE> der(size);
      if (CryptStringToBinaryA(block, length, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                               nullptr) &&
          CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                           CERT_STORE_ADD_ALWAYS, nullptr)) {
        ++count;
      }
    }
    at = end;
  }
  if (count == 0) {
    CertCloseStore(store, 0);
    return nullptr;
  }
  return store;
}

// The bytes of the dotted IPv4 address `text`.
std::string Ipv4Bytes(const std::string& text) {
  unsigned parts[4] = {0, 0, 0, 0};
  int i = 0;
  for (char c : text) {
    if (c == '.') {
      ++i;
    } else {
      parts[i] = parts[i] * 10 + static_cast<unsigned>(c - '0');
    }
  }
  std::string bytes(4, '\0');
  for (int k = 0; k < 4; ++k) bytes[k] = static_cast<char>(parts[k]);
  return bytes;
}

// Whether the certificate names the address `want` (4 or 16 bytes) in its
// subjectAltName.
bool HasIpAltName(PCCERT_CONTEXT cert, const std::string& want) {
  PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                          cert->pCertInfo->rgExtension);
  if (ext == nullptr) return false;
  CERT_ALT_NAME_INFO* info = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, szOID_SUBJECT_ALT_NAME2, ext->Value.pbData,
                           ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size)) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < info->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& e = info->rgAltEntry[i];
    found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == want.size() &&
            std::equal(want.begin(), want.end(), reinterpret_cast<const char*>(e.IPAddress.pbData));
  }
  LocalFree(info);
  return found;
}

class SchannelClient final : public TlsClient {
 public:
  explicit SchannelClient(const TlsClientSettings& settings)
      : settings_(settings),
        name_(CertificateName(settings.serverName)),
        address_(!settings.address.empty() ? settings.address
                 : IsIpv4Literal(name_)    ? Ipv4Bytes(name_)
                                           : std::string()),
        isAddress_(!address_.empty()) {}

  ~SchannelClient() override {
    if (haveContext_) DeleteSecurityContext(&context_);
    if (haveCredentials_) FreeCredentialsHandle(&credentials_);
    if (engine_ != nullptr) CertFreeCertificateChainEngine(engine_);
    if (roots_ != nullptr) CertCloseStore(roots_, 0);
  }

  int Start(std::string& out) override {
    if (name_.empty() || name_ == ".") return Fail(kTlsErrorNameMismatch);
    if (!settings_.caFile.empty()) {
      roots_ = LoadCaFile(settings_.caFile);
      if (roots_ == nullptr) return Fail(kTlsErrorCaFile);
      CERT_CHAIN_ENGINE_CONFIG config{};
      config.cbSize = kEngineConfigSize;
      config.hExclusiveRoot = roots_;
      if (!CertCreateCertificateChainEngine(&config, &engine_)) return Fail(kTlsErrorCaFile);
    }
    SCHANNEL_CRED cred{};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    cred.dwFlags =
        SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    TimeStamp expiry;
    char package[] = UNISP_NAME_A;
    if (AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr,
                                  nullptr, &credentials_, &expiry) != SEC_E_OK) {
      return Fail(kTlsErrorHandshake);
    }
    haveCredentials_ = true;
    return Handshake(out);
  }

  int Receive(const char* data, std::size_t length, std::string& out, std::string& plain) override {
    if (failure_ != 0) return failure_;
    if (peerClosed_ || !haveCredentials_) return 0;
    input_.append(data, length);
    if (!established_) {
      if (int error = Handshake(out); error != 0 || !established_) return error;
    }
    return Decrypt(out, plain);
  }

  bool Established() const override { return established_; }
  bool PeerClosed() const override { return peerClosed_; }

  int Send(const char* data, std::size_t length, std::string& out) override {
    if (!established_ || failure_ != 0) return kTlsErrorHandshake;
    if (renegotiating_) {
      // The old keys are gone and the new ones not there yet.
      held_.append(data, length);
      return 0;
    }
    return Encrypt(data, length, out);
  }

  std::string Summary() const override {
    if (!established_) return "TLS not established";
    auto* context = const_cast<CtxtHandle*>(&context_);
    SecPkgContext_ConnectionInfo info{};
    std::string version = "TLS";
    if (QueryContextAttributesA(context, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
      if (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) version = "TLS 1.3";
      if (info.dwProtocol & SP_PROT_TLS1_2_CLIENT) version = "TLS 1.2";
      if (info.dwProtocol & SP_PROT_TLS1_1_CLIENT) version = "TLS 1.1";
      if (info.dwProtocol & SP_PROT_TLS1_0_CLIENT) version = "TLS 1.0";
    }
    std::string subject = "(none)";
    PCCERT_CONTEXT cert = nullptr;
    if (QueryContextAttributesA(context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) == SEC_E_OK &&
        cert != nullptr) {
      char text[512] = {};
      DWORD n = CertNameToStrA(X509_ASN_ENCODING, &cert->pCertInfo->Subject,
                               CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, text, sizeof text);
      if (n > 1) subject.assign(text, n - 1);
      CertFreeCertificateContext(cert);
    }
    return version + ", certificate: " + subject;
  }

  void Shutdown(std::string& out) override {
    if (!established_ || shutdownSent_ || failure_ != 0) return;
    // A close_notify must not overtake the plain text still held.
    if (renegotiating_) {
      shutdownWanted_ = true;
      return;
    }
    shutdownSent_ = true;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer token{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc tokenDesc{SECBUFFER_VERSION, 1, &token};
    if (ApplyControlToken(&context_, &tokenDesc) != SEC_E_OK) return;
    // One more handshake call turns the shutdown into the close_notify.
    SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
    DWORD attributes = 0;
    TimeStamp expiry;
    InitializeSecurityContextA(&credentials_, &context_, TargetName(), kContextFlags, 0, 0, nullptr,
                               0, nullptr, &outDesc, &attributes, &expiry);
    TakeToken(outBuffer, out);
  }

 private:
  int Encrypt(const char* data, std::size_t length, std::string& out) {
    std::vector<char> record(sizes_.cbHeader + sizes_.cbMaximumMessage + sizes_.cbTrailer);
    while (length > 0) {
      DWORD piece =
          length > sizes_.cbMaximumMessage ? sizes_.cbMaximumMessage : static_cast<DWORD>(length);
      char* p = record.data();
      std::copy(data, data + piece, p + sizes_.cbHeader);
      SecBuffer buffers[4] = {
          {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, p},
          {piece, SECBUFFER_DATA, p + sizes_.cbHeader},
          {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, p + sizes_.cbHeader + piece},
          {0, SECBUFFER_EMPTY, nullptr},
      };
      SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
      if (EncryptMessage(&context_, 0, &desc, 0) != SEC_E_OK) return Fail(kTlsErrorHandshake);
      out.append(p, buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
      data += piece;
      length -= piece;
    }
    return 0;
  }

  int Fail(int error) {
    failure_ = error;
    return error;
  }

  // The name SChannel gets: a host name (sent as SNI); none for an
  // address, which is no SNI.
  char* TargetName() { return isAddress_ ? nullptr : const_cast<char*>(name_.c_str()); }

  static void TakeToken(SecBuffer& token, std::string& out) {
    if (token.pvBuffer == nullptr) return;
    out.append(static_cast<const char*>(token.pvBuffer), token.cbBuffer);
    FreeContextBuffer(token.pvBuffer);
    token.pvBuffer = nullptr;
  }

  // Runs the handshake on what has arrived, as far as it goes. `opening`:
  // this side speaks first, in a renegotiation the server asked for.
  int Handshake(std::string& out, bool opening = false) {
    for (;;) {
      SecBuffer inBuffers[2] = {
          {static_cast<unsigned long>(input_.size()), SECBUFFER_TOKEN, input_.data()},
          {0, SECBUFFER_EMPTY, nullptr},
      };
      SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBuffers};
      SecBuffer outBuffer{0, SECBUFFER_TOKEN, nullptr};
      SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuffer};
      DWORD attributes = 0;
      TimeStamp expiry;
      SECURITY_STATUS status = InitializeSecurityContextA(
          &credentials_, haveContext_ ? &context_ : nullptr, TargetName(), kContextFlags, 0, 0,
          haveContext_ ? &inDesc : nullptr, 0, haveContext_ ? nullptr : &context_, &outDesc,
          &attributes, &expiry);
      if (context_.dwLower != 0 || context_.dwUpper != 0) haveContext_ = true;
      const bool spoke = outBuffer.pvBuffer != nullptr && outBuffer.cbBuffer > 0;
      // A token goes out whatever the status: an alert after a failure too.
      TakeToken(outBuffer, out);
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        // Windows opens the new handshake from an empty input. Should it
        // say nothing, it would wait for a record while the server waits
        // for its hello: the request is declined instead, as on wine.
        if (opening && !spoke && input_.empty()) renegotiating_ = false;
        return 0;  // the rest of a record is to come
      }
      if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
        // The server asks for a client certificate: go on without one, once.
        // Asked again, the same call would only be repeated for ever.
        if (credentialsRetried_) return Fail(kTlsErrorHandshake);
        credentialsRetried_ = true;
        continue;
      }
      if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) return Fail(kTlsErrorHandshake);
      // Bytes the step did not use are the start of the next record.
      if (inBuffers[1].BufferType == SECBUFFER_EXTRA && inBuffers[1].cbBuffer > 0) {
        input_.erase(0, input_.size() - inBuffers[1].cbBuffer);
      } else {
        input_.clear();
      }
      if (status == SEC_E_OK) {
        if (int error = Verify(); error != 0) return Fail(error);
        if (QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK)
          return Fail(kTlsErrorHandshake);
        established_ = true;
        credentialsRetried_ = false;
        return renegotiating_ ? Renegotiated(out) : 0;
      }
      if (input_.empty()) return 0;
    }
  }

  int Decrypt(std::string& out, std::string& plain) {
    while (!input_.empty() && !peerClosed_) {
      if (renegotiating_) {
        if (int error = Handshake(out); error != 0) return error;
        if (renegotiating_) return 0;  // the server's next records are to come
        continue;
      }
      SecBuffer buffers[4] = {
          {static_cast<unsigned long>(input_.size()), SECBUFFER_DATA, input_.data()},
          {0, SECBUFFER_EMPTY, nullptr},
          {0, SECBUFFER_EMPTY, nullptr},
          {0, SECBUFFER_EMPTY, nullptr},
      };
      SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
      SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) return 0;
      if (status == SEC_I_CONTEXT_EXPIRED) {
        peerClosed_ = true;
        return 0;
      }
      if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) return Fail(kTlsErrorHandshake);
      std::string data, extra;
      for (const SecBuffer& b : buffers) {
        if (b.BufferType == SECBUFFER_DATA && b.pvBuffer != nullptr)
          data.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
        if (b.BufferType == SECBUFFER_EXTRA && b.pvBuffer != nullptr)
          extra.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
      }
      plain += data;
      input_.swap(extra);
      if (status == SEC_I_RENEGOTIATE) {
        // Wine's SChannel cannot open a handshake on a live session (it
        // waits for a record while the server waits for this side's
        // hello): there the request is declined, as a TLS 1.2 client may,
        // and the session goes on as it was.
        if (UnderWine()) continue;
        // The server asks for a new handshake: this side's hello goes out
        // now, made from what followed the request (often nothing yet).
        renegotiating_ = true;
        if (int error = Handshake(out, true); error != 0) return error;
        continue;
      }
      // Wine reports the peer's close_notify as a record without data;
      // Windows reports it as SEC_I_CONTEXT_EXPIRED, and an empty record
      // is only that.
      if (UnderWine() && data.empty() && input_.empty()) peerClosed_ = true;
    }
    return 0;
  }

  // The renegotiation is done: what waited for it goes out, in order.
  int Renegotiated(std::string& out) {
    renegotiating_ = false;
    std::string held;
    held.swap(held_);
    if (int error = Encrypt(held.data(), held.size(), out); error != 0) return error;
    if (shutdownWanted_) {
      shutdownWanted_ = false;
      Shutdown(out);
    }
    return 0;
  }

  // The certificate check: chain, dates, name.
  int Verify() {
    PCCERT_CONTEXT cert = nullptr;
    if (QueryContextAttributesA(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK ||
        cert == nullptr) {
      return kTlsErrorUntrusted;
    }
    int result = CheckChain(cert);
    if (result == 0 && isAddress_ && !HasIpAltName(cert, address_)) result = kTlsErrorNameMismatch;
    CertFreeCertificateContext(cert);
    return result;
  }

  int CheckChain(PCCERT_CONTEXT cert) {
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(engine_, cert, nullptr, cert->hCertStore, &para, 0, nullptr,
                                 &chain)) {
      return kTlsErrorUntrusted;
    }
    // The policy alone is not enough: wine's lets a partial chain (an
    // unknown CA) pass. The chain's own status says whether it reached a
    // trusted root.
    DWORD trust = chain->TrustStatus.dwErrorStatus & ~kRevocationOnly;
    int result = 0;
    if (trust & kTimeErrors) result = kTlsErrorExpired;
    if (trust & ~kTimeErrors) result = kTlsErrorUntrusted;
    if (result == 0) {
      std::wstring name(name_.begin(), name_.end());
      SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
      ssl.cbSize = sizeof ssl;
      ssl.dwAuthType = AUTHTYPE_SERVER;
      // An address is matched here against the IP names (HasIpAltName).
      ssl.fdwChecks = isAddress_ ? kIgnoreCertCnInvalid : 0;
      ssl.pwszServerName = name.data();
      CERT_CHAIN_POLICY_PARA policy{};
      policy.cbSize = sizeof policy;
      policy.pvExtraPolicyPara = &ssl;
      CERT_CHAIN_POLICY_STATUS status{};
      status.cbSize = sizeof status;
      if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
        result = kTlsErrorUntrusted;
      } else if (status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) {
        result = kTlsErrorNameMismatch;
      } else if (status.dwError == static_cast<DWORD>(CERT_E_EXPIRED)) {
        result = kTlsErrorExpired;
      } else if (status.dwError != 0) {
        result = kTlsErrorUntrusted;
      }
    }
    CertFreeCertificateChain(chain);
    return result;
  }

  TlsClientSettings settings_;
  std::string name_;
  std::string address_;  // the bytes of an address the server is named by
  bool isAddress_;
  CredHandle credentials_{};
  CtxtHandle context_{};
  bool haveCredentials_ = false;
  bool haveContext_ = false;
  HCERTSTORE roots_ = nullptr;
  HCERTCHAINENGINE engine_ = nullptr;  // null: the system's own
  SecPkgContext_StreamSizes sizes_{};
  // Received bytes the engine has not used yet (half a record).
  std::string input_;
  bool established_ = false;
  bool peerClosed_ = false;
  bool shutdownSent_ = false;
  bool shutdownWanted_ = false;
  // The server asked for a client certificate in this handshake already.
  bool credentialsRetried_ = false;
  // Between the server's request for a new handshake and its end; what the
  // application sends meanwhile waits in held_.
  bool renegotiating_ = false;
  std::string held_;
  int failure_ = 0;
};

}  // namespace

std::unique_ptr<TlsClient> NewTlsClient(const TlsClientSettings& settings) {
  return std::make_unique<SchannelClient>(settings);
}

}  // namespace plat
