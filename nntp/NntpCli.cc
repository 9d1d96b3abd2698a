#include "nntp/NntpCli.h"

#include <cstring>

TNntpCli::TNntpCli(TComponent* owner) : TComponent(owner) {
  FWindowHandle = plat::CreateHiddenWindow("NntpCliWindowClass", this);
  FWSocket = new TWSocket(this);  // owned: freed with the client
  FWSocket->OnSessionConnected = [this](TObject* s, std::uint16_t e) {
    HandleSocketConnected(s, e);
  };
  FWSocket->OnDataAvailable = [this](TObject* s, std::uint16_t e) { HandleSocketData(s, e); };
  FWSocket->OnSessionClosed = [this](TObject* s, std::uint16_t e) { HandleSocketClosed(s, e); };
  FWSocket->OnDnsLookupDone = [this](TObject* s, std::uint16_t e) { HandleLookupDone(s, e); };
}

TNntpCli::~TNntpCli() {
  BeginDestroy();
  delete FWSocket;
  FWSocket = nullptr;
  plat::DestroyHiddenWindow(FWindowHandle);
}

std::intptr_t TNntpCli::HandleMessage(std::uint32_t msg, std::uintptr_t wParam,
                                      std::intptr_t lParam) {
  if (msg != WM_NNTP_REQUEST_DONE)
    return plat::DefaultMessageResult(FWindowHandle, msg, wParam, lParam);
  if (OnRequestDone) {
    OnRequestDone(this, static_cast<TNntpRequest>(wParam & 0xFF),
                  static_cast<std::uint16_t>(lParam & 0xFFFF));
  }
  return 0;
}

// ---- requests ----------------------------------------------------------------

void TNntpCli::Connect() {
  if (FState != nntpNotConnected) throw NntpException("Already connected");
  FRequestType = nntpConnect;
  FRequestReported = false;
  FReceiveLen = 0;
  FSkippingLongLine = false;
  FRequestLine.clear();
  FArticleNumber = FArticleFirst = FArticleLast = FArticleEstimated = -1;
  FArticleID.clear();
  SetSessionState(nntpDnsLookup);
  // A proxy that resolves names gets the name as it is: a client behind a
  // firewall often cannot resolve outside names itself.
  if (FWSocket->SocksResolvesNames()) return ConnectTo(FHost);
  FWSocket->DnsLookup(FHost);
}

void TNntpCli::Quit() {
  if (FState != nntpReady) throw NntpException("Not ready for QUIT");
  FRequestReported = false;
  FRequestType = nntpQuit;
  FRequestLine = "QUIT";
  FReplyHandler = &TNntpCli::HandleQuitReply;
  SetSessionState(nntpWaitingResponse);
  SendCommandLine();
}

void TNntpCli::HandleQuitReply() {
  ParseNumber(FLastResponse, 0, FStatusCode);
  CompleteRequest(0);
}

void TNntpCli::Abort() {
  FRequestType = nntpAbort;
  ReleasePost();
  // A lookup still under way would otherwise start a connection after the
  // abort; its cancellation is not reported (the request type is abort).
  try {
    FWSocket->CancelDnsLookup();
  } catch (const ESocketException&) {
  }
  FWSocket->Close();
  FLastResponse = "205 Closing connection - goodbye";
  FStatusCode = 205;
  FRequestReported = false;
  CompleteRequest(0);
}

void TNntpCli::SendCommandLine() {
  FSavedResponse.clear();
  FWSocket->SendString(FRequestLine + "\r\n");
}

// ---- completion and state ------------------------------------------------------

void TNntpCli::CompleteRequest(std::uint16_t Error) {
  if (!FRequestReported) {
    plat::PostWindowMessage(FWindowHandle, WM_NNTP_REQUEST_DONE, FRequestType, Error);
  }
  FRequestReported = true;
  FReplyHandler = nullptr;
  ReleasePost();
  if (!FCompleteNotConnected && FWSocket->State() == wsConnected) {
    SetSessionState(nntpReady);
  } else {
    SetSessionState(nntpNotConnected);
  }
}

void TNntpCli::ReleasePost() {
  if (FWSocket != nullptr) {
    FWSocket->OnDataSent = nullptr;
    FWSocket->SetTcpCork(false);
  }
  FDataStream = nullptr;
}

void TNntpCli::SetSessionState(TNntpState NewState) {
  if (NewState == FState) return;
  FState = NewState;
  NotifyStateChange();
}

void TNntpCli::NotifyStateChange() {
  if (OnStateChange) OnStateChange(this);
}

void TNntpCli::CompleteNotConnected(std::uint16_t Error) {
  FCompleteNotConnected = true;
  CompleteRequest(Error);
  FCompleteNotConnected = false;
}

// ---- the socket's events ---------------------------------------------------------

void TNntpCli::HandleLookupDone(TObject*, std::uint16_t Error) {
  if (FRequestType == nntpAbort) return;
  if (Error != 0) {
    CompleteRequest(Error);
    return;
  }
  ConnectTo(FWSocket->DnsResult());
}

void TNntpCli::ConnectTo(const std::string& address) {
  try {
    FWSocket->AssignAddr(address);
    FWSocket->AssignProto("tcp");
    FWSocket->AssignPort(FPort.empty() ? std::string("nntp") : FPort);
    SetSessionState(nntpWaitingBanner);
    FWSocket->Connect();
  } catch (const ESocketException&) {
    // Nobody could catch this inside the event: end the connect request
    // with the socket's error instead of waiting for a banner for ever.
    std::int32_t error = FWSocket->LastError() != 0 ? FWSocket->LastError() : 10022;
    CompleteNotConnected(static_cast<std::uint16_t>(error));
    FWSocket->Close();
  }
}

void TNntpCli::HandleSocketConnected(TObject*, std::uint16_t Error) {
  if (Error == 0) return;  // the greeting line will say more
  CompleteNotConnected(Error);
  FWSocket->Close();
}

void TNntpCli::HandleSocketClosed(TObject*, std::uint16_t Error) {
  if (FRequestType != nntpAbort) CompleteNotConnected(Error);
  if (OnSessionClosed) OnSessionClosed(this, Error);
  SetSessionState(nntpNotConnected);
}

void TNntpCli::HandleSocketData(TObject*, std::uint16_t Error) {
  // Long lines are cut below, so there is always room for at least a byte.
  int n = FWSocket->Receive(FReceiveBuffer + FReceiveLen, kBufferSize - 1 - FReceiveLen);
  if (FRequestType == nntpAbort) return;
  if (n == 0) {
    FWSocket->Close();
    return;
  }
  if (n < 0) return;
  FReceiveBuffer[FReceiveLen + n] = 0;
  if (OnDisplay) OnDisplay(this, FReceiveBuffer + FReceiveLen, n);
  FReceiveLen += n;
  FDataError = Error;
  while (FReceiveLen > 0 && FRequestType != nntpAbort) {
    // Searched by length, so that a NUL byte in the data hides nothing.
    char* eol = nullptr;
    for (int i = 0; i + 1 < FReceiveLen; ++i) {
      if (FReceiveBuffer[i] == '\r' && FReceiveBuffer[i + 1] == '\n') {
        eol = FReceiveBuffer + i;
        break;
      }
    }
    if (eol == nullptr) {
      if (FReceiveLen < kBufferSize - 1) break;
      // A line longer than the buffer: its first part is handled as the
      // line, the rest is skipped up to its line end. A CR at the very end
      // may be half of that line end, so it stays.
      int keep = FReceiveBuffer[FReceiveLen - 1] == '\r' ? 1 : 0;
      int take = FReceiveLen - keep;
      bool first = !FSkippingLongLine;
      if (first) FLastResponse.assign(FReceiveBuffer, static_cast<std::size_t>(take));
      std::memmove(FReceiveBuffer, FReceiveBuffer + take, static_cast<std::size_t>(keep) + 1);
      FReceiveLen = keep;
      FSkippingLongLine = true;
      if (first) DispatchLine();
      continue;
    }
    auto lineLen = static_cast<int>(eol - FReceiveBuffer);
    std::string line(FReceiveBuffer, static_cast<std::size_t>(lineLen));
    int rest = FReceiveLen - lineLen - 2;
    std::memmove(FReceiveBuffer, eol + 2, static_cast<std::size_t>(rest) + 1);
    FReceiveLen = rest;
    if (FSkippingLongLine) {
      FSkippingLongLine = false;  // the end of an over-long line
      continue;
    }
    FLastResponse = std::move(line);
    DispatchLine();
  }
}

void TNntpCli::DispatchLine() {
  switch (FState) {
    case nntpWaitingBanner:
      SetSessionState(nntpReady);
      ParseNumber(FLastResponse, 0, FStatusCode);
      FPostingPermited = FStatusCode == 200;
      if (OnSessionConnected) OnSessionConnected(this, FDataError);
      break;
    case nntpWaitingResponse:
      if (FReplyHandler != nullptr) {
        (this->*FReplyHandler)();
      } else {
        SetSessionState(nntpReady);
      }
      break;
    default:
      if (OnDataAvailable) OnDataAvailable(this, FDataError);
  }
}

// ---- POST -------------------------------------------------------------------------

void TNntpCli::Post(TStream* FromStream) {
  if (FState != nntpReady) throw NntpException("Not ready for POST");
  FDataStream = FromStream;
  FRequestReported = false;
  FRequestType = nntpPost;
  FRequestLine = "POST";
  FTerminatorSent = false;
  FReplyHandler = &TNntpCli::HandlePostReply;
  SetSessionState(nntpWaitingResponse);
  SendCommandLine();
}

void TNntpCli::HandlePostReply() {
  ParseNumber(FLastResponse, 0, FStatusCode);
  if (FStatusCode != 340) {
    CompleteRequest(static_cast<std::uint16_t>(FStatusCode));
    return;
  }
  FReplyHandler = &TNntpCli::HandlePostFinalReply;
  FWSocket->OnDataSent = [this](TObject* s, std::uint16_t e) { HandleDataSent(s, e); };
  // The article goes out in full segments rather than one per 1514-byte
  // block: the server then reads it in large pieces, as it would from a
  // client that writes large buffers.
  FWSocket->SetTcpCork(true);
  SendPostBlock();
}

void TNntpCli::SendPostBlock() {
  if (FDataStream == nullptr) return;
  std::int32_t n = FDataStream->Read(FPostBuffer, kBufferSize);
  if (n > 0) {
    FWSocket->Send(FPostBuffer, n);
    return;
  }
  if (FTerminatorSent) return;
  FTerminatorSent = true;
  std::memcpy(FPostBuffer, "\r\n.\r\n", 5);
  // The marker is the one small write that waits on an answer: without
  // this, Nagle's algorithm would hold it until the server's delayed
  // acknowledgement. Only here, so the article itself goes in full segments.
  FWSocket->SetTcpNoDelay(true);
  FWSocket->Send(FPostBuffer, 5);
  FWSocket->SetTcpCork(false);  // and out goes whatever is held
}

void TNntpCli::HandleDataSent(TObject*, std::uint16_t Error) {
  if (FRequestType != nntpPost || FState != nntpWaitingResponse) return;
  if (Error != 0) {
    HandlePostSendError();
  } else {
    SendPostBlock();
  }
}

void TNntpCli::HandlePostSendError() {
  FLastResponse = "441 posting failed";
  HandlePostFinalReply();
}

void TNntpCli::HandlePostFinalReply() {
  FWSocket->OnDataSent = nullptr;
  FWSocket->SetTcpNoDelay(false);
  ParseNumber(FLastResponse, 0, FStatusCode);
  CompleteRequest(FStatusCode == 240 ? 0 : static_cast<std::uint16_t>(FStatusCode));
}

// ---- status parsing ------------------------------------------------------------------

std::size_t TNntpCli::SkipBlanks(const std::string& text, std::size_t from) {
  while (from < text.size() &&
         (text[from] == ' ' || text[from] == '\t' || text[from] == '\r' || text[from] == '\n')) {
    ++from;
  }
  return from;
}

std::size_t TNntpCli::ParseNumber(const std::string& text, std::size_t from, std::int32_t& value) {
  value = 0;
  std::size_t i = SkipBlanks(text, from);
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (v < 0x7FFFFFFF) v = v * 10 + (text[i] - '0');  // stays within 32 bits: no overflow on junk
  }
  if (v > 0x7FFFFFFF) v = 0x7FFFFFFF;
  value = static_cast<std::int32_t>(negative ? -v : v);
  return i;
}
