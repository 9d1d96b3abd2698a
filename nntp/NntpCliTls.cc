// TLS in TNntpCli: NNTPS (TLS from connect), STARTTLS and the CAPABILITIES
// list that tells whether a server offers it.
#include <cctype>

#include "nntp/NntpCli.h"

namespace {

bool SameWord(const std::string& line, const std::string& word) {
  std::size_t end = line.find_first_of(" \t");
  if (end == std::string::npos) end = line.size();
  if (end != word.size()) return false;
  for (std::size_t i = 0; i < end; ++i) {
    if (std::toupper(static_cast<unsigned char>(line[i])) !=
        std::toupper(static_cast<unsigned char>(word[i])))
      return false;
  }
  return true;
}

// A server that never ends its list must not grow it without bound: real
// lists have a dozen lines.
constexpr std::size_t kMaxCapabilities = 1000;

}  // namespace

std::string TNntpCli::ConnectPort() const {
  if (!FPort.empty()) return FPort;
  return FTls ? "nntps" : "nntp";
}

void TNntpCli::PrepareTls() {
  FTlsUpgrading = false;
  FWSocket->SetTlsEnabled(FTls);
  FWSocket->SetTlsCaFile(FTlsCaFile);
  // The socket connects to the address the name resolved to; the
  // certificate must be checked against the name the caller gave.
  FWSocket->SetTlsServerName(FTlsServerName.empty() ? FHost : FTlsServerName);
}

bool TNntpCli::HasCapability(const std::string& name) const {
  for (const std::string& line : FCapabilityList) {
    if (SameWord(line, name)) return true;
  }
  return false;
}

void TNntpCli::Capabilities(TStream* DestStream) {
  if (FState != nntpReady) throw NntpException("Not ready for CAPABILITIES");
  FDataStream = DestStream;
  FCapabilityList.clear();
  IssueRequest(nntpCapabilities, "CAPABILITIES", &TNntpCli::HandleCapabilitiesReply);
}

void TNntpCli::HandleCapabilitiesReply() {
  bool status = NntpReadStatus(FLastResponse, FStatusCode);
  if (!status || FStatusCode != 101) {
    // After STARTTLS the list is a courtesy: TLS is up, which is what the
    // request was for.
    if (FRequestType == nntpStartTls) {
      CompleteRequest(0);
    } else {
      CompleteRequest(status ? static_cast<std::uint16_t>(FStatusCode) : nntpErrorNoStatus);
    }
    return;
  }
  FReplyHandler = &TNntpCli::HandleCapabilityLine;
  // INN writes the list after this line, held until it is acknowledged.
  FWSocket->AckPromptly();
  FReceiveBuffer.SetLineLimit(kMaxDataLine);
  FSavedResponse = FLastResponse;
  if (OnMessageBegin) OnMessageBegin(this);
}

void TNntpCli::HandleCapabilityLine() {
  if (FLastResponse.size() == 1 && FLastResponse[0] == '.') {
    EndDataAnswer(OnMessageEnd);
    return;
  }
  if (FDataFailure == 0 && FCapabilityList.size() < kMaxCapabilities) {
    bool dotted = !FLastResponse.empty() && FLastResponse[0] == '.';
    FCapabilityList.push_back(dotted ? FLastResponse.substr(1) : FLastResponse);
  }
  DeliverDataLine(OnMessageLine);
}

void TNntpCli::StartTls() {
  // Not under compression: RFC 8054 forbids the order.
  if (FState != nntpReady || CompressActive()) throw NntpException("Not ready for STARTTLS");
  if (FWSocket->TlsActive()) throw NntpException("TLS is already active");
  FDataStream = nullptr;
  IssueRequest(nntpStartTls, "STARTTLS", &TNntpCli::HandleStartTlsReply);
}

void TNntpCli::HandleStartTlsReply() {
  bool status = NntpReadStatus(FLastResponse, FStatusCode);
  if (!status || FStatusCode != 382) {
    CompleteRequest(status ? static_cast<std::uint16_t>(FStatusCode) : nntpErrorNoStatus);
    return;
  }
  // Whatever came behind the 382 in clear is dropped with the buffer; from
  // here on the TLS layer owns the bytes.
  FTlsUpgrading = true;
  FReceiveBuffer.Clear();
  FReplyHandler = nullptr;
  FWSocket->OnTlsDone = [this](TObject* s, std::uint16_t e) { HandleTlsDone(s, e); };
  FWSocket->StartTls();
}

void TNntpCli::HandleTlsDone(TObject*, std::uint16_t Error) {
  if (!FTlsUpgrading) return;
  FTlsUpgrading = false;
  if (FRequestType != nntpStartTls || FRequestReported) return;
  if (Error != 0) {
    // Never on in clear: the server asked for TLS and did not get it.
    CompleteNotConnected(Error);
    FWSocket->Close();
    return;
  }
  NoteActivity();
  // What the server said before TLS may have been forged (RFC 4642).
  FCapabilityList.clear();
  FRequestLine = "CAPABILITIES";
  FReplyHandler = &TNntpCli::HandleCapabilitiesReply;
  SendCommandLine();
}

bool TNntpCli::CompressActive() const { return FWSocket->CompressActive(); }

bool TNntpCli::CompressOffered() const { return HasCapability("COMPRESS", "DEFLATE"); }

bool TNntpCli::LoginMayFollow() const {
  return HasCapability("AUTHINFO", "USER") || HasCapability("STARTTLS");
}

bool TNntpCli::HasCapability(const std::string& name, const std::string& argument) const {
  for (const std::string& line : FCapabilityList) {
    if (!SameWord(line, name)) continue;
    std::size_t at = line.find_first_of(" \t");
    while (at != std::string::npos) {
      std::size_t begin = line.find_first_not_of(" \t", at);
      if (begin == std::string::npos) break;
      if (SameWord(line.substr(begin), argument)) return true;
      at = line.find_first_of(" \t", begin);
    }
  }
  return false;
}

void TNntpCli::Compress() {
  if (FState != nntpReady || CompressActive()) throw NntpException("Not ready for COMPRESS");
  FDataStream = nullptr;
  IssueRequest(nntpCompress, "COMPRESS DEFLATE", &TNntpCli::HandleCompressReply);
}

void TNntpCli::HandleCompressReply() {
  bool status = NntpReadStatus(FLastResponse, FStatusCode);
  if (!status || FStatusCode != 206) {
    CompleteRequest(status ? static_cast<std::uint16_t>(FStatusCode) : nntpErrorNoStatus);
    return;
  }
  // Whatever came behind the 206 in the same read was sent before the
  // server compressed anything: nobody's answer, dropped. The socket drops
  // what it holds itself.
  FReceiveBuffer.Clear();
  ++FTransportGeneration;
  FWSocket->StartCompress();
  CompleteRequest(0);
}
