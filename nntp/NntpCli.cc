#include "nntp/NntpCli.h"

#include <cctype>
#include <cstring>

#include "net/WSockLib.h"

namespace {
constexpr std::uintptr_t kInactivityTimer = 1;
}  // namespace

TNntpCli::TNntpCli(TComponent* owner) : TComponent(owner) {
  FWindowHandle = plat::CreateHiddenWindow("NntpCliWindowClass", this);
  FWSocket = new TWSocket(this);  // owned: freed with the client
  FWSocket->OnSessionConnected = [this](TObject* s, std::uint16_t e) {
    HandleSocketConnected(s, e);
  };
  FWSocket->OnDataAvailable = [this](TObject* s, std::uint16_t e) { HandleSocketData(s, e); };
  FWSocket->OnSessionClosed = [this](TObject* s, std::uint16_t e) { HandleSocketClosed(s, e); };
  FWSocket->OnDnsLookupDone = [this](TObject* s, std::uint16_t e) { HandleLookupDone(s, e); };
  FWSocket->OnTrace = [this](TObject*, const std::string& text) { Trace("* " + text); };
}

void TNntpCli::Trace(const std::string& text) {
  if (OnTrace) OnTrace(this, text);
}

TNntpCli::~TNntpCli() {
  BeginDestroy();
  delete FWSocket;
  FWSocket = nullptr;
  plat::DestroyHiddenWindow(FWindowHandle);
}

std::intptr_t TNntpCli::HandleMessage(std::uint32_t msg, std::uintptr_t wParam,
                                      std::intptr_t lParam) {
  if (msg == plat::kWmTimer && wParam == kInactivityTimer) {
    HandleInactivityTimer();
    return 0;
  }
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
  FReceiveBuffer.Clear();
  FDataFailure = 0;
  FRequestLine.clear();
  FArticleNumber = FArticleFirst = FArticleLast = FArticleEstimated = -1;
  FArticleID.clear();
  FCapabilityList.clear();
  SetSessionState(nntpDnsLookup);
  // A proxy that resolves names gets the name as it is: a client behind a
  // firewall often cannot resolve outside names itself.
  if (FWSocket->SocksResolvesNames()) return StartSocketConnect(FHost);
  Trace("* looking up " + FHost);
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
  NntpReadStatus(FLastResponse, FStatusCode);
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
  if (OnTrace) {
    // The password's command in any letter case (AnyCommand may send it).
    static const std::string kPass = "AUTHINFO PASS ";
    bool secret = FRequestLine.size() >= kPass.size();
    for (std::size_t i = 0; secret && i < kPass.size(); ++i)
      secret = std::toupper(static_cast<unsigned char>(FRequestLine[i])) == kPass[i];
    Trace("> " + (secret ? FRequestLine.substr(0, kPass.size()) + "********" : FRequestLine));
  }
  FSavedResponse.clear();
  FWSocket->SendString(FRequestLine + "\r\n");
}

// ---- completion and state ------------------------------------------------------

void TNntpCli::CompleteRequest(std::uint16_t Error) { FinishRequest(Error, false); }

void TNntpCli::FinishRequest(std::uint16_t Error, bool sessionLost) {
  if (!FRequestReported) {
    plat::PostWindowMessage(FWindowHandle, WM_NNTP_REQUEST_DONE, FRequestType, Error);
  }
  FRequestReported = true;
  FReplyHandler = nullptr;
  // Lines after the answer are status lines again, with their limit.
  FReceiveBuffer.SetLineLimit(TNntpLineBuffer::kMaxData);
  ReleasePost();
  if (!sessionLost && FWSocket->State() == wsConnected) {
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
  UpdateInactivityTimer();
  NotifyStateChange();
}

void TNntpCli::NotifyStateChange() {
  if (OnStateChange) OnStateChange(this);
}

void TNntpCli::CompleteNotConnected(std::uint16_t Error) { FinishRequest(Error, true); }

// ---- the socket's events ---------------------------------------------------------

void TNntpCli::HandleLookupDone(TObject*, std::uint16_t Error) {
  if (FRequestType == nntpAbort) return;
  if (Error != 0) {
    CompleteRequest(Error);
    return;
  }
  // By name, so that the socket tries every address the lookup found, both
  // families in turn, not the first one alone.
  StartSocketConnect(FHost);
}

void TNntpCli::StartSocketConnect(const std::string& address) {
  // The library's error number is the one place that tells what failed, if
  // anything failed inside the library: cleared first, so that a number left
  // from an earlier failure is not taken for this one.
  wsock::WSASetLastError(0);
  try {
    FWSocket->AssignAddr(address);
    FWSocket->AssignProto("tcp");
    FWSocket->AssignPort(ConnectPort());
    PrepareTls();
    SetSessionState(nntpWaitingBanner);
    FWSocket->Connect();
  } catch (const ESocketException&) {
    // Nobody could catch this inside the event: end the connect request
    // with what failed instead of waiting for a banner for ever. A failure
    // the socket found itself (an argument it cannot use) is 10022, invalid
    // argument.
    int error = wsock::WSAGetLastError();
    CompleteNotConnected(static_cast<std::uint16_t>(error != 0 ? error : 10022));
    FWSocket->Close();
  }
}

void TNntpCli::HandleSocketConnected(TObject*, std::uint16_t Error) {
  if (Error == 0) {
    NoteActivity();
    return;  // the greeting line will say more
  }
  CompleteNotConnected(Error);
  FWSocket->Close();
}

void TNntpCli::HandleSocketClosed(TObject*, std::uint16_t Error) {
  // A request cut off by an orderly close has not succeeded: the greeting,
  // the answer or the POST's final reply is missing. It is reported as a
  // reset, not as 0; only QUIT expects the server to close.
  std::uint16_t requestError = Error;
  if (requestError == 0 && !FRequestReported && FRequestType != nntpQuit) {
    requestError = 10054;
  }
  if (FRequestType != nntpAbort) CompleteNotConnected(requestError);
  if (OnSessionClosed) OnSessionClosed(this, Error);
  SetSessionState(nntpNotConnected);
}

void TNntpCli::HandleSocketData(TObject*, std::uint16_t Error) {
  // One receive per notification, never a loop until the socket is empty:
  // the socket posts the next notification while bytes wait, so the
  // message loop (and a quit in it) is seen between pieces. The bytes land
  // in the line buffer itself, behind what is left of the last line, and
  // are split there: no copy of every byte received on its way to a line.
  int room = 0;
  char* at = FReceiveBuffer.Reserve(room);
  int n = FWSocket->Receive(at, room < kReceiveChunk ? room : kReceiveChunk);
  if (FRequestType == nntpAbort) return;
  if (n == 0) {
    FWSocket->Close();
    return;
  }
  if (n < 0) return;
  NoteActivity();
  // Bytes behind a 382 came in clear and are not the server's: dropped,
  // like anything until TLS is up (never committed to the buffer).
  if (FTlsUpgrading) return;
  FReceiveBuffer.Commit(n);
  SplitReceived(at, n, Error);
}

void TNntpCli::TakeReceived(const char* data, int n) { FeedReceived(data, n, 0); }

void TNntpCli::FeedReceived(const char* data, int n, std::uint16_t Error) {
  // Over-long lines are cut or gathered elsewhere, so the buffer always has
  // room for at least a byte.
  // Bytes behind a 382 came in clear and are not the server's (a third
  // party can slip them in): dropped, like anything until TLS is up.
  const std::uint32_t generation = FTransportGeneration;
  while (n > 0 && FRequestType != nntpAbort && !FTlsUpgrading &&
         generation == FTransportGeneration) {
    int room = 0;
    char* at = FReceiveBuffer.Reserve(room);
    int take = n < room ? n : room;
    std::memcpy(at, data, static_cast<std::size_t>(take));
    FReceiveBuffer.Commit(take);
    SplitReceived(at, take, Error);
    data += take;
    n -= take;
  }
}

void TNntpCli::SplitReceived(const char* at, int n, std::uint16_t Error) {
  if (OnDisplay) OnDisplay(this, at, n);
  while (FRequestType != nntpAbort && FReceiveBuffer.NextLine(FLastResponse)) {
    // A data line beyond the limit was dropped on the way: the answer can
    // no longer be delivered whole.
    if (FReceiveBuffer.TakeOverflow() && FDataFailure == 0) FDataFailure = kErrorLineTooLong;
    DispatchLine(Error);
    // The line's place in the buffer is the handling of this line's alone.
    FReceiveBuffer.ForgetLineInPlace();
  }
}

void TNntpCli::DispatchLine(std::uint16_t Error) {
  if (OnTrace && FReplyHandler != &TNntpCli::HandleArticleLine &&
      FReplyHandler != &TNntpCli::HandleXHdrLine) {
    Trace("< " + FLastResponse);
  }
  switch (FState) {
    case nntpWaitingBanner:
      if (!NntpReadStatus(FLastResponse, FStatusCode)) {
        // Whatever answers here is no news server: nothing it says could
        // be taken for an answer to a request.
        CompleteNotConnected(nntpErrorNoStatus);
        FWSocket->Close();
        break;
      }
      SetSessionState(nntpReady);
      FPostingPermited = FStatusCode == 200;
      if (OnSessionConnected) OnSessionConnected(this, Error);
      break;
    case nntpWaitingResponse:
      if (FReplyHandler != nullptr) {
        (this->*FReplyHandler)();
      } else {
        SetSessionState(nntpReady);
      }
      break;
    default:
      if (OnDataAvailable) OnDataAvailable(this, Error);
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
  FPostAtLineStart = true;
  FReplyHandler = &TNntpCli::HandlePostReply;
  SetSessionState(nntpWaitingResponse);
  SendCommandLine();
}

void TNntpCli::HandlePostReply() {
  if (!NntpReadStatus(FLastResponse, FStatusCode)) {
    CompleteRequest(nntpErrorNoStatus);
    return;
  }
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
  std::int32_t n = FDataStream->Read(FPostBuffer, kPostBlockSize);
  if (n < 0) {
    // Whatever went out is no article without its end marker: the server
    // drops it with the connection.
    CompleteNotConnected(kErrorReadFault);
    FWSocket->Abort();
    return;
  }
  if (n > 0) {
    FPostAtLineStart = FPostBuffer[n - 1] == '\n';
    FWSocket->Send(FPostBuffer, n);
    return;
  }
  if (FTerminatorSent) return;
  FTerminatorSent = true;
  // After a line end the marker's own CR LF would add an empty line to the
  // article. A lone LF counts too: servers take it for a line end, as the
  // article's other LF-only lines.
  const std::string marker = EndMarker(FPostAtLineStart);
  const int length = static_cast<int>(marker.size());
  std::memcpy(FPostBuffer, marker.data(), marker.size());
  // The marker is the one small write that waits on an answer: without
  // this, Nagle's algorithm would hold it until the server's delayed
  // acknowledgement. Only here, so the article itself goes in full segments.
  FWSocket->SetTcpNoDelay(true);
  FWSocket->Send(FPostBuffer, length);
  FWSocket->SetTcpCork(false);  // and out goes whatever is held
}

void TNntpCli::HandleDataSent(TObject*, std::uint16_t Error) {
  if (FRequestType != nntpPost || FState != nntpWaitingResponse) return;
  NoteActivity();
  if (Error != 0) {
    FPostSendError = Error;
    HandlePostSendError();
  } else {
    SendPostBlock();
  }
}

void TNntpCli::HandlePostSendError() {
  // A connection that failed under the article is no refusal by the
  // server: the request ends with the socket's error and LastResponse
  // keeps the server's last line, so that nobody takes one for the other.
  FWSocket->OnDataSent = nullptr;
  CompleteNotConnected(FPostSendError);
  FWSocket->Abort();
}

void TNntpCli::HandlePostFinalReply() {
  FWSocket->OnDataSent = nullptr;
  FWSocket->SetTcpNoDelay(false);
  bool status = NntpReadStatus(FLastResponse, FStatusCode);
  if (!FTerminatorSent) {
    // An answer before the end of the article: whatever it says, the
    // article did not go out whole, and the server would read what we send
    // next as more of it. Nothing more can be said on this connection.
    CompleteNotConnected(status ? static_cast<std::uint16_t>(FStatusCode) : nntpErrorNoStatus);
    FWSocket->Close();
    return;
  }
  if (!status) {
    CompleteRequest(nntpErrorNoStatus);
  } else {
    CompleteRequest(FStatusCode == 240 ? 0 : static_cast<std::uint16_t>(FStatusCode));
  }
}

// ---- inactivity limit -------------------------------------------------------------------

void TNntpCli::SetInactivityTimeout(std::int32_t value) {
  FInactivityTimeout = value < 0 ? 0 : value;
  FInactivityTimerOn = false;  // started anew with the new period
  UpdateInactivityTimer();
}

void TNntpCli::UpdateInactivityTimer() {
  bool waiting =
      FState == nntpDnsLookup || FState == nntpWaitingBanner || FState == nntpWaitingResponse;
  if (waiting && FInactivityTimeout > 0) {
    // A new wait starts its limit afresh; so does each sign of life.
    NoteActivity();
    if (!FInactivityTimerOn) {
      FInactivityTimerOn = plat::SetWindowTimer(FWindowHandle, kInactivityTimer,
                                                static_cast<unsigned>(FInactivityTimeout));
    }
  } else if (FInactivityTimerOn) {
    plat::KillWindowTimer(FWindowHandle, kInactivityTimer);
    FInactivityTimerOn = false;
  }
}

void TNntpCli::HandleInactivityTimer() {
  if (!FInactivityTimerOn) return;  // a message left from a timer since killed
  auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - FLastActivity)
                  .count();
  // A server still taking what was sent is not idle, though it says nothing.
  if (idle >= FInactivityTimeout && FWSocket->PeerTakingData()) {
    NoteActivity();
    idle = 0;
  }
  if (idle < FInactivityTimeout) {
    // Something happened meanwhile: wait for what is left of the limit.
    plat::SetWindowTimer(FWindowHandle, kInactivityTimer,
                         static_cast<unsigned>(FInactivityTimeout - idle));
    return;
  }
  plat::KillWindowTimer(FWindowHandle, kInactivityTimer);
  FInactivityTimerOn = false;
  // As a lost connection: the request ends with "timed out", LastResponse
  // keeps the server's last line.
  try {
    FWSocket->CancelDnsLookup();
  } catch (const ESocketException&) {
  }
  CompleteNotConnected(nntpErrorInactive);
  FWSocket->Close();
}
