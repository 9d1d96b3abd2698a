// TNntpCli: an asynchronous NNTP client. It owns one TWSocket, connects to a
// news server, waits for its greeting and then runs one request at a time.
// Each request operation sends its command and returns at once; the answer
// arrives through the socket's events and the request's end is reported by
// OnRequestDone, always later from the event loop.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/WSocket.h"
#include "platform/messages.h"
#include "rtl/classes.h"

enum TNntpState : std::uint8_t {
  nntpNotConnected,
  nntpDnsLookup,
  nntpWaitingBanner,
  nntpReady,
  nntpWaitingResponse
};

enum TNntpRequest : std::uint8_t {
  nntpGroup,
  nntpList,
  nntpConnect,
  nntpPost,
  nntpHelp,
  nntpNewGroups,
  nntpNewNews,
  nntpArticleByNumber,
  nntpArticleByID,
  nntpBodyByID,
  nntpBodyByNumber,
  nntpHeadByID,
  nntpHeadByNumber,
  nntpStatByID,
  nntpStatByNumber,
  nntpNext,
  nntpLast,
  nntpQuit,
  nntpAbort,
  nntpXOver,
  nntpListOverViewFmt,
  nntpDate,
  nntpAuthenticate,
  nntpModeReader,
  nntpXHdr,
  nntpListActive,
  nntpSearch,
  nntpAnyCommand,
  nntpXPat,
  nntpListSrchFields,
  nntpListSearchable
};

class NntpException : public Exception {
 public:
  using Exception::Exception;
};

using TNntpDisplay = std::function<void(TObject* Sender, const char* Msg, std::int32_t Len)>;
using TRequestDone = std::function<void(TObject* Sender, TNntpRequest RqType, std::uint16_t Error)>;

class TNntpCli : public TComponent, private plat::MessageTarget {
 public:
  static constexpr int kBufferSize = 4096;
  static constexpr std::uint32_t WM_NNTP_REQUEST_DONE = plat::kWmUser + 1;

  explicit TNntpCli(TComponent* owner);
  ~TNntpCli() override;

  virtual void Connect();
  virtual void Abort();
  virtual void Quit();
  // Sends the stream from its current position as an article. The caller
  // supplies CR LF line ends and doubles leading dots; the end marker is
  // added here.
  virtual void Post(TStream* FromStream);

  TWSocket* WSocket() const { return FWSocket; }
  TNntpState State() const { return FState; }
  const std::string& Host() const { return FHost; }
  void SetHost(const std::string& value) { FHost = value; }
  const std::string& Port() const { return FPort; }
  void SetPort(const std::string& value) { FPort = value; }
  const std::string& ErrorMessage() const { return FErrorMessage; }
  const std::string& LastResponse() const { return FLastResponse; }
  std::int32_t StatusCode() const { return FStatusCode; }
  bool PostingPermited() const { return FPostingPermited; }
  std::int32_t ArticleEstimated() const { return FArticleEstimated; }
  std::int32_t ArticleFirst() const { return FArticleFirst; }
  std::int32_t ArticleLast() const { return FArticleLast; }
  std::int32_t ArticleNumber() const { return FArticleNumber; }
  const std::string& ArticleID() const { return FArticleID; }
  double ServerDate() const { return FServerDate; }
  const std::string& UserName() const { return FUserName; }
  void SetUserName(const std::string& value) { FUserName = value; }
  const std::string& PassWord() const { return FPassWord; }
  void SetPassWord(const std::string& value) { FPassWord = value; }

  TSessionConnected OnSessionConnected;
  TSessionClosed OnSessionClosed;
  TDataAvailable OnDataAvailable;
  TRequestDone OnRequestDone;
  TNntpDisplay OnDisplay;
  TNotifyEvent OnMessageBegin, OnMessageEnd, OnMessageLine;
  TNotifyEvent OnXHdrBegin, OnXHdrEnd, OnXHdrLine;
  TNotifyEvent OnStateChange;

 protected:
  using TReplyHandler = void (TNntpCli::*)();

  virtual void CompleteRequest(std::uint16_t Error);
  virtual void NotifyStateChange();
  virtual void SetSessionState(TNntpState NewState);
  virtual void SendCommandLine();
  virtual void HandleQuitReply();
  virtual void HandlePostReply();
  virtual void HandlePostSendError();
  virtual void SendPostBlock();
  virtual void HandlePostFinalReply();

  // The socket's events.
  void HandleLookupDone(TObject* Sender, std::uint16_t Error);
  void HandleSocketConnected(TObject* Sender, std::uint16_t Error);
  void HandleSocketData(TObject* Sender, std::uint16_t Error);
  void HandleSocketClosed(TObject* Sender, std::uint16_t Error);
  void HandleDataSent(TObject* Sender, std::uint16_t Error);

  // Reads a signed decimal number after blanks; returns where it stopped.
  static std::size_t ParseNumber(const std::string& text, std::size_t from, std::int32_t& value);
  static std::size_t SkipBlanks(const std::string& text, std::size_t from);

  // Fields, in the order of the component's design.
  plat::WindowHandle FWindowHandle = 0;
  std::string FHost;
  std::string FPort;
  TNntpState FState = nntpNotConnected;
  TWSocket* FWSocket = nullptr;
  std::string FRequestLine;
  TNntpRequest FRequestType = nntpConnect;
  bool FRequestReported = false;
  bool FTerminatorSent = false;
  std::int32_t FStatusCode = 503;
  char FPostBuffer[kBufferSize] = {};
  char FReceiveBuffer[kBufferSize] = {};
  std::int32_t FReceiveLen = 0;
  std::string FLastResponse;
  std::string FSavedResponse;
  std::string FErrorMessage;
  std::int32_t FArticleEstimated = -1;
  std::int32_t FArticleFirst = -1;
  std::int32_t FArticleLast = -1;
  std::int32_t FArticleNumber = -1;
  std::string FArticleID;
  double FServerDate = 0;
  TStream* FDataStream = nullptr;
  std::string FUserName;
  std::string FPassWord;
  TReplyHandler FReplyHandler = nullptr;
  bool FPostingPermited = false;
  // The rest of a response line too long for the receive buffer is being
  // skipped; its first part was already handled as the line.
  bool FSkippingLongLine = false;
  std::uint16_t FDataError = 0;  // the error of the data event being split
  bool FCompleteNotConnected = false;

 private:
  std::intptr_t HandleMessage(std::uint32_t msg, std::uintptr_t wParam,
                              std::intptr_t lParam) override;
  void DispatchLine();
  // Connects the socket to the news server at `address` (a name when the
  // SOCKS proxy resolves it).
  void ConnectTo(const std::string& address);
  // Completes the request and ends in nntpNotConnected even while the
  // socket still counts as connected (a failed connect, a closed session).
  void CompleteNotConnected(std::uint16_t Error);
  // Ends a POST's hold on the caller's stream and the socket's OnDataSent,
  // whichever way the POST ends.
  void ReleasePost();
};
