// TNntpCli: an asynchronous NNTP client. It owns one TWSocket, connects to a
// news server, waits for its greeting and then runs one request at a time.
// Each request operation sends its command and returns at once; the answer
// arrives through the socket's events and the request's end is reported by
// OnRequestDone, always later from the event loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/WSocket.h"
#include "net/WSocketTls.h"
#include "nntp/NntpText.h"
#include "platform/messages.h"
#include "rtl/classes.h"
#include "rtl/dateutils.h"

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
  nntpListSearchable,
  nntpCapabilities,
  nntpStartTls,
  nntpCompress
};

class NntpException : public Exception {
 public:
  using Exception::Exception;
};

using TNntpDisplay = std::function<void(TObject* Sender, const char* Msg, std::int32_t Len)>;
using TRequestDone = std::function<void(TObject* Sender, TNntpRequest RqType, std::uint16_t Error)>;

// The Error of OnRequestDone for a reply line that carries no status number
// (no digits, or a number no reply can have); the line stays in
// LastResponse. It can be neither a status code nor a socket error number.
constexpr std::uint16_t nntpErrorNoStatus = 0xFFFF;
// The Error of OnRequestDone when the inactivity limit ends a request: the
// socket library's "connection timed out".
constexpr std::uint16_t nntpErrorInactive = 10060;

class TNntpCli : public TComponent, private plat::MessageTarget {
 public:
  static constexpr int kBufferSize = 4096;
  // An article goes to the socket in pieces this large: one send call and
  // one turn of the message loop per piece, not per 4096 bytes.
  static constexpr int kPostBlockSize = 64 * 1024;
  // Bytes taken from the socket per notification, straight into the line
  // buffer: a long answer read in smaller pieces would cost a receive and a
  // trip through the message loop for each.
  static constexpr int kReceiveChunk = TNntpLineBuffer::kReceiveRoom;
  static constexpr std::uint32_t WM_NNTP_REQUEST_DONE = plat::kWmUser + 1;
  // Data lines of a multi-line answer are delivered whole up to this length;
  // a longer one ends its request with kErrorLineTooLong (WSAEMSGSIZE).
  // Status lines keep the receive buffer's limit.
  static constexpr std::size_t kMaxDataLine = 1 << 20;
  static constexpr std::uint16_t kErrorLineTooLong = 10040;
  // The destination stream refused a write (a full disk, a closed pipe):
  // the request ends with ERROR_WRITE_FAULT once the answer is drained.
  static constexpr std::uint16_t kErrorWriteFault = 29;
  // The source stream of a POST failed (its Read returned less than 0): the
  // connection is dropped before the end marker, so that the server keeps
  // no part of the article, and the request ends with ERROR_READ_FAULT.
  static constexpr std::uint16_t kErrorReadFault = 30;

  explicit TNntpCli(TComponent* owner);
  ~TNntpCli() override;

  virtual void Connect();
  virtual void Abort();
  virtual void Quit();
  // Sends the stream from its current position as an article. The caller
  // supplies CR LF line ends and doubles leading dots; the end marker is
  // added here: "." CR LF when the stream is empty or ends with a line feed
  // (so that no empty line is added), CR LF "." CR LF otherwise. The
  // request succeeds (Error 0) only when the server answered POST with 340,
  // the whole stream and the end marker went out, and the server then
  // answered 240. A reply that comes before the end marker went out is an
  // error even when it is 240; it ends the connection, since the server
  // still takes whatever follows for the article. A Read of the stream that
  // returns less than 0 ends the request with kErrorReadFault and drops the
  // connection without the end marker. The stream is first read while the
  // server's 340 is LastResponse, so a source may take the identifier the
  // server recommends there.
  virtual void Post(TStream* FromStream);
  // Whether the end marker of the last POST was handed to the socket: after
  // that, a connection lost before the answer may have delivered the
  // article; before it, the server cannot have taken it.
  bool PostEndSent() const { return FTerminatorSent; }
  // The end marker Post sends after an article whose last byte is a line
  // feed (or that is empty), or after one that ends inside a line.
  static std::string EndMarker(bool atLineStart) { return atLineStart ? ".\r\n" : "\r\n.\r\n"; }

  // Single-line commands. Group trims the name; Authenticate sends
  // UserName, then PassWord when the server asks for it, and reports once.
  virtual void Group(const std::string& NewGroup);
  virtual void Date();
  virtual void ModeReader();
  virtual void Authenticate();

  // Multi-line retrieval. Data lines go to DestStream (when given) with
  // CR LF line ends and one leading dot removed, and through the message
  // events. An ID is passed without its angle brackets; a Number below 1
  // asks for the current article. Text arguments holding CR, LF or NUL are
  // refused with NntpException before anything is sent.
  virtual void ArticleByNumber(std::int32_t Number, TStream* DestStream);
  virtual void ArticleByID(const std::string& ID, TStream* DestStream);
  virtual void HeadByNumber(std::int32_t Number, TStream* DestStream);
  virtual void HeadByID(const std::string& ID, TStream* DestStream);
  virtual void BodyByNumber(std::int32_t Number, TStream* DestStream);
  virtual void BodyByID(const std::string& ID, TStream* DestStream);
  virtual void StatByNumber(std::int32_t Number);
  virtual void StatByID(const std::string& ID);
  virtual void Next();
  virtual void Last();
  virtual void List(TStream* DestStream);
  virtual void ListActive(const std::string& Wildmat, TStream* DestStream);
  virtual void ListSrchFields(TStream* DestStream);
  virtual void ListSearchable(TStream* DestStream);
  virtual void Search(const std::string& Query, TStream* DestStream);
  virtual void Help(TStream* DestStream);
  virtual void XOver(const std::string& Articles, TStream* DestStream);
  virtual void ListOverViewFmt(TStream* DestStream);
  virtual void AnyCommand(const std::string& Command, TStream* DestStream);
  virtual void XHdr(TStream* DestStream, const std::string& Header, const std::string& Range);
  virtual void XPat(TStream* DestStream, const std::string& Header, const std::string& Range,
                    const std::string& Pattern);
  // When 0 means now: the UTC clock with GMTFlag, else the local one.
  virtual void NewGroups(TDateTime When, bool GMTFlag, const std::string& Distributions,
                         TStream* DestStream);
  virtual void NewNews(TDateTime When, bool GMTFlag, const std::string& NewsGroupName,
                       const std::string& Distributions, TStream* DestStream);

  // TLS (NntpCliTls.cc). CAPABILITIES: the list's lines go to DestStream
  // (when given) and through the message events like any list, and are
  // kept in CapabilityList until the connection ends or TLS starts.
  virtual void Capabilities(TStream* DestStream = nullptr);
  // STARTTLS: on 382 the connection turns to TLS (the certificate checked
  // against TlsServerName, or Host); the capability list is then stale and
  // CAPABILITIES is asked again before the request completes (Error 0 once
  // TLS carries the session, whatever that answer). 580 or any other reply
  // completes with its status; a failed handshake with the TLS error
  // number, and the connection is closed: nothing more goes out in clear.
  virtual void StartTls();
  // COMPRESS DEFLATE (RFC 8054): on 206 both directions are compressed from
  // the next byte on and the request completes with 0; any other reply
  // completes with its status and nothing changes. Once compression is on,
  // neither COMPRESS nor STARTTLS may be asked (the not-ready error).
  virtual void Compress();
  bool CompressActive() const;
  // Whether the capability list offers COMPRESS with the DEFLATE method.
  bool CompressOffered() const;
  // Whether the list says a login may be asked for: AUTHINFO USER is
  // offered, or STARTTLS (inside which a server may offer it).
  bool LoginMayFollow() const;
  const std::vector<std::string>& CapabilityList() const { return FCapabilityList; }
  // Whether a line of the list starts with the word `name` (letter case
  // ignored).
  bool HasCapability(const std::string& name) const;
  // Whether the line of label `name` lists `argument` among its words
  // ("COMPRESS DEFLATE", "AUTHINFO USER"), letter case ignored.
  bool HasCapability(const std::string& name, const std::string& argument) const;
  // NNTPS: TLS from the first byte; Port then defaults to nntps (563).
  bool Tls() const { return FTls; }
  void SetTls(bool value) { FTls = value; }
  // The PEM bundle to trust instead of the system's store (empty: the
  // system's).
  const std::string& TlsCaFile() const { return FTlsCaFile; }
  void SetTlsCaFile(const std::string& value) { FTlsCaFile = value; }
  // The name the certificate must carry; empty: Host as given (never the
  // address it resolved to).
  const std::string& TlsServerName() const { return FTlsServerName; }
  void SetTlsServerName(const std::string& value) { FTlsServerName = value; }

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
  TDateTime ServerDate() const { return FServerDate; }
  const std::string& UserName() const { return FUserName; }
  void SetUserName(const std::string& value) { FUserName = value; }
  const std::string& PassWord() const { return FPassWord; }
  void SetPassWord(const std::string& value) { FPassWord = value; }
  // Milliseconds without a byte received or sent after which a request that
  // waits on the network (name lookup, connect, greeting, a reply, an
  // article going out) ends: the connection is closed and the request
  // completes with nntpErrorInactive. 0, the default, waits for ever.
  std::int32_t InactivityTimeout() const { return FInactivityTimeout; }
  void SetInactivityTimeout(std::int32_t value);

  TSessionConnected OnSessionConnected;
  TSessionClosed OnSessionClosed;
  TDataAvailable OnDataAvailable;
  TRequestDone OnRequestDone;
  TNntpDisplay OnDisplay;
  TNotifyEvent OnMessageBegin, OnMessageEnd, OnMessageLine;
  TNotifyEvent OnXHdrBegin, OnXHdrEnd, OnXHdrLine;
  TNotifyEvent OnStateChange;
  // The dialogue as it happens: each command sent ("> GROUP x"), each
  // status line received ("< 211 ..."; the data lines of an article or a
  // header list are left out), and the socket's connection steps ("* ...").
  // The argument of AUTHINFO PASS is never passed on.
  TTraceEvent OnTrace;

 protected:
  using TReplyHandler = void (TNntpCli::*)();

  virtual void CompleteRequest(std::uint16_t Error);
  virtual void NotifyStateChange();
  virtual void SetSessionState(TNntpState NewState);
  virtual void SendCommandLine();
  virtual void HandleGroupReply();
  virtual void HandleQuitReply();
  virtual void HandleXHdrLine();
  virtual void HandleArticleReply();
  virtual void HandleArticleLine();
  virtual void StartArticleByNumber(TNntpRequest Kind, std::int32_t Number, TStream* DestStream);
  virtual void StartArticleByID(TNntpRequest Kind, const std::string& ID, TStream* DestStream);
  virtual void StartArticleRequest(TNntpRequest Kind, const std::string& Argument,
                                   TStream* DestStream);
  virtual void HandlePostReply();
  virtual void HandlePostSendError();
  virtual void SendPostBlock();
  virtual void HandlePostFinalReply();
  virtual void HandleDateReply();
  virtual void HandleModeReaderReply();
  virtual void HandleXHdrReply();
  virtual void HandleAuthUserReply();
  virtual void HandleAuthPassReply();
  virtual void HandleCapabilitiesReply();
  virtual void HandleCapabilityLine();
  virtual void HandleStartTlsReply();
  virtual void HandleCompressReply();
  void HandleTlsDone(TObject* Sender, std::uint16_t Error);

  // The socket's events.
  void HandleLookupDone(TObject* Sender, std::uint16_t Error);
  void HandleSocketConnected(TObject* Sender, std::uint16_t Error);
  void HandleSocketData(TObject* Sender, std::uint16_t Error);
  void HandleSocketClosed(TObject* Sender, std::uint16_t Error);
  void HandleDataSent(TObject* Sender, std::uint16_t Error);

  // Hands bytes to the receive path as if the socket had delivered them
  // (for tests and fuzzing: no socket involved).
  void TakeReceived(const char* data, int n);

  // Reads a signed decimal number after blanks; returns where it stopped.
  static std::size_t ParseNumber(const std::string& text, std::size_t from, std::int32_t& value) {
    return NntpParseNumber(text, from, value);
  }
  static std::size_t SkipBlanks(const std::string& text, std::size_t from) {
    return NntpSkipBlanks(text, from);
  }
  // The message-id in the text after `from`, without its angle brackets.
  static std::string ParseMessageID(const std::string& text, std::size_t from);

  // The client's own hidden window: it receives the completion notices and
  // the inactivity timer.
  plat::WindowHandle FWindowHandle = 0;
  // Where to connect, and the socket that does it.
  std::string FHost;
  std::string FPort;
  TNntpState FState = nntpNotConnected;
  TWSocket* FWSocket = nullptr;
  // The request under way: its command, kind, whether its end was reported.
  std::string FRequestLine;
  TNntpRequest FRequestType = nntpConnect;
  bool FRequestReported = false;
  // POST: whether the end marker was handed to the socket, whether the
  // bytes sent so far end at the start of a line, and the block going out.
  bool FTerminatorSent = false;
  bool FPostAtLineStart = true;
  std::uint16_t FPostSendError = 0;
  char FPostBuffer[kPostBlockSize] = {};
  // The server's answers: the last status, the bytes received but not yet
  // split into lines, the line being handled, and a status line kept while
  // the lines of a multi-line answer come in.
  std::int32_t FStatusCode = 503;
  TNntpLineBuffer FReceiveBuffer;
  std::string FLastResponse;
  std::string FSavedResponse;
  // Published for the component's users; the client itself never sets it.
  std::string FErrorMessage;
  // Results of the retrieval and group commands.
  std::int32_t FArticleEstimated = -1;
  std::int32_t FArticleFirst = -1;
  std::int32_t FArticleLast = -1;
  std::int32_t FArticleNumber = -1;
  std::string FArticleID;
  TDateTime FServerDate = 0;
  // The current request's destination or source; not owned.
  TStream* FDataStream = nullptr;
  std::string FUserName;
  std::string FPassWord;
  // Called for each line that answers the current request.
  TReplyHandler FReplyHandler = nullptr;
  bool FPostingPermited = false;
  // Why the multi-line answer being received can no longer be delivered
  // (the stream failed, a line was too long); the rest is drained and the
  // request then ends with this error.
  std::uint16_t FDataFailure = 0;
  // The inactivity limit, when the network last did something, and whether
  // the timer runs.
  std::int32_t FInactivityTimeout = 0;
  std::chrono::steady_clock::time_point FLastActivity;
  bool FInactivityTimerOn = false;
  // TLS: what the caller asked for, the server's capabilities, and whether
  // a STARTTLS handshake is under way (no byte in clear is taken then).
  bool FTls = false;
  std::string FTlsCaFile;
  std::string FTlsServerName;
  std::vector<std::string> FCapabilityList;
  bool FTlsUpgrading = false;
  // Counts the changes of transport (compression starting): the rest of a
  // read that arrived before one is not fed on after it.
  std::uint32_t FTransportGeneration = 0;

 private:
  std::intptr_t HandleMessage(std::uint32_t msg, std::uintptr_t wParam,
                              std::intptr_t lParam) override;
  // Hands the line in LastResponse to the state's handler; `Error` is the
  // one the data event carried, for the events that pass it on.
  void DispatchLine(std::uint16_t Error);
  void Trace(const std::string& text);
  // Splits and dispatches what is held, after the n bytes at `at` came in.
  void SplitReceived(const char* at, int n, std::uint16_t Error);
  // Passes received bytes through the line buffer a buffer's worth at a
  // time, splitting each piece; stops at an abort.
  void FeedReceived(const char* data, int n, std::uint16_t Error);
  // Completes the request; with `sessionLost` it ends in nntpNotConnected
  // even while the socket still counts as connected (a failed connect, a
  // closed session), else in whatever the socket's state says.
  void FinishRequest(std::uint16_t Error, bool sessionLost);
  void CompleteNotConnected(std::uint16_t Error);
  // Ends a POST's hold on the caller's stream and the socket's OnDataSent,
  // whichever way the POST ends.
  void ReleasePost();
  // The common tail of every request: clears RequestReported, sets the kind,
  // the line and the handler, and sends.
  void IssueRequest(TNntpRequest Kind, std::string Line, TReplyHandler Handler);
  // A request with a destination stream: the state test, the line test,
  // then IssueRequest. What names the request in the exceptions' texts.
  void StartDataRequest(TNntpRequest Kind, const std::string& What, std::string Line,
                        TStream* DestStream, TReplyHandler Handler);
  void DeliverDataLine(const TNotifyEvent& LineEvent);
  void EndDataAnswer(const TNotifyEvent& EndEvent);
  // The inactivity limit: the timer runs while the client waits on the
  // network and each sign of life moves its end.
  void NoteActivity() { FLastActivity = std::chrono::steady_clock::now(); }
  void UpdateInactivityTimer();
  void HandleInactivityTimer();
  // Sets up the socket's Connect to the news server at `address` (a name
  // when the SOCKS proxy resolves it); reports what stopped it with the
  // error number of the failure.
  void StartSocketConnect(const std::string& address);
  // Hands the TLS settings to the socket before a connect; the port to use.
  void PrepareTls();
  std::string ConnectPort() const;
};
