// TCustomWSocket: the socket core, an event-driven, never-blocking TCP/UDP
// socket over IPv4 and IPv6.
//
// Every object owns a hidden window; the socket library reports network
// events for the object's socket as messages to it and the object turns
// each into an event (OnSessionConnected, OnDataAvailable, OnDataSent,
// OnSessionClosed...). No operation waits for the network. Objects are
// used on the thread that created them; events run from its message loop.
//
// Layers (SOCKS, line mode, synchronous waits) derive from this class, one
// after the other, and TWSocket (net/WSocket.h) sits on top of them. A
// layer extends the core by overriding its virtual operations: every event
// is fired through a virtual Fire... operation, received bytes are read
// through RecvRaw and counted through QueryRcvdCount, and ResetDefaults is
// what a close calls to put the connection state back.
//
// Construction and ResetDefaults: the state that a close puts back starts
// at its defaults through member initialisers, in the core (TSessionFields)
// and in a layer alike. The constructor does not call ResetDefaults: in a
// constructor a virtual call only reaches the class being constructed, so
// it could never reach a layer's override. A layer therefore gives its own
// resettable fields initialisers, and its ResetDefaults override puts them
// back the same way and calls the core's.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/SocketAddress.h"
#include "net/WSockLib.h"
#include "net/WSockbuf.h"
#include "platform/messages.h"
#include "platform/socklib.h"
#include "rtl/classes.h"

enum TSocketState : std::uint8_t {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed
};
enum TSocketSendFlags : std::uint8_t { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff : std::uint8_t { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TWSocketOption : std::uint8_t { wsoNoReceiveLoop };
using TWSocketOptions = std::uint8_t;  // bit n set: option n present
constexpr TWSocketOptions OptionBit(TWSocketOption o) {
  return static_cast<TWSocketOptions>(1u << o);
}

using TDataAvailable = std::function<void(TObject* Sender, std::uint16_t Error)>;
using TDataSent = TDataAvailable;
using TSessionClosed = TDataAvailable;
using TSessionAvailable = TDataAvailable;
using TSessionConnected = TDataAvailable;
using TDnsLookupDone = TDataAvailable;
using TSendData = std::function<void(TObject* Sender, std::int32_t BytesSent)>;
using TChangeState =
    std::function<void(TObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent =
    std::function<void(TObject* Sender, const std::exception& E, bool& CanClose)>;
using TNotifyEvent = std::function<void(TObject* Sender)>;
// One step of a connection told in words (an address tried, a proxy's
// answer, the TLS session agreed), for a user who wants to see what happened.
using TTraceEvent = std::function<void(TObject* Sender, const std::string& Text)>;

using TSocketHandle = plat::TSocket;
constexpr TSocketHandle INVALID_SOCKET = plat::kInvalidSocket;

constexpr std::uint32_t MsgSocketEvent = plat::kWmUser + 1;
constexpr std::uint32_t MsgHostByAddrDone = plat::kWmUser + 3;
constexpr std::uint32_t MsgCloseLater = plat::kWmUser + 4;
constexpr std::uint32_t MsgFreeLater = plat::kWmUser + 5;
constexpr std::uint32_t MsgTestException = plat::kWmUser + 6;
// Delivers the next piece of received data: the receive loop hands control
// back to the message loop between pieces (wParam the connection's serial
// number, see ConnectionSerial).
constexpr std::uint32_t MsgDeliverMore = plat::kWmUser + 7;
// A name lookup of both families done (wParam the request).
constexpr std::uint32_t MsgAddrLookupDone = plat::kWmUser + 8;
// A notification for one of the extra attempts of a connection to several
// addresses (wParam the attempt's socket).
constexpr std::uint32_t MsgAttemptEvent = plat::kWmUser + 9;

struct TMessage {
  std::uint32_t Msg;
  std::uintptr_t WParam;
  std::intptr_t LParam;
  std::intptr_t Result;
};

struct TTimeVal {
  std::int32_t tv_sec;
  std::int32_t tv_usec;
};

// Resolve texts into numbers; all raise ESocketException, carrying the
// socket error number behind the failure.
std::uint32_t WSocketResolveHost(const std::string& host);  // network order
std::uint16_t WSocketResolvePort(const std::string& port, const std::string& proto);  // host order
std::int32_t WSocketResolveProto(const std::string& proto);

// A text that a connection is made from (Addr, Port, Proto, LocalPort),
// kept with the number it resolves to, so that Connect resolves it once.
template <typename Number>
struct TResolvedText {
  std::string Text;
  bool Assigned = false;  // written, and not empty, since the last close
  bool Known = false;     // Value is what Text resolves to
  Number Value{};

  // After a close the text stays readable, but it has to be assigned again
  // before the next connection.
  void Forget() { Assigned = Known = false; }
};

// What one connection's session has recorded, as opposed to the settings
// it was made with: started afresh for every connection, also one opened
// from the handler of the close before it (FinishCloseUnderWay).
struct TSessionRecord {
  bool FDrained = true;  // nothing queued is waiting to be sent
  // Bytes received on this connection: 64 bits, since one connection may
  // well carry more than 2 GiB (ReadCount saturates instead).
  std::int64_t FReadCount = 0;
  // Bytes read from the socket itself, by the application or a layer.
  std::int64_t FSocketTaken = 0;
  bool FPaused = false;  // notifications suspended
  // PauseReceiving: nothing is read for the application until
  // ResumeReceiving; everything else goes on.
  bool FReceivingPaused = false;
  // The connection completed (0) or failed (its error) while paused, -1
  // when not: the system tells it once, so Resume tells it again.
  std::int32_t FConnectWhilePaused = -1;
  // The peer's close, notified while paused (error, or -1 for none): the
  // system says so only once, so Resume reports it again.
  std::int32_t FCloseWhilePaused = -1;
  bool FSessionClosedFired = false;  // OnSessionClosed fired for this connection
  bool FDeliveryPosted = false;      // a MsgDeliverMore is on its way
  // A layer offered the application bytes it holds (see LayersHold) and
  // none were read: they stop counting as waiting, so that delivery does
  // not go round for ever, until a read takes some, new data arrives or
  // Resume. One flag for every layer, so that no layer's bytes can be
  // forgotten by another's redelivery.
  bool FHeldStalled = false;
  // For PeerTakingData: bytes handed to the system since its last call, and
  // the count the system held for the peer then (-1 unknown).
  bool FSentSinceAsked = false;
  long FUnsentSeen = -1;
  // The last read from the socket emptied it, and no notification came
  // since: nothing is waiting there (see RecvRaw).
  bool FSocketEmpty = false;
};

// The state of one connection: everything that a close puts back
// (ResetDefaults), each default written once, here.
struct TSessionFields : TSessionRecord {
  TSocketHandle FSocketHandle = INVALID_SOCKET;
  TSocketState FState = wsClosed;
  std::int32_t FAddrFamily = plat::kAfInet;  // of the socket open now
  std::int32_t FSocketType = plat::kSockStream;
  TResolvedText<std::int32_t> FProto{"tcp", true, false, plat::kIpProtoTcp};
  TResolvedText<std::uint32_t> FLocalPort{"0"};  // Assigned is not used
  std::string FLocalAddr = "0.0.0.0";
  // The remote address of Connect (the one connected to, of several), the
  // local one of Listen, overwritten with the peer's by Accept.
  TSocketAddress FSockAddr = TSocketAddress::FromIPv4(0, 0);
  // A listener on the IPv6 unspecified address that takes IPv4 peers too.
  bool FDualStack = false;
  TSocketLingerOnOff FLingerOnOff = wsLingerOn;
  std::int32_t FLingerTimeout = 0;  // seconds
  std::int32_t FFlushTimeout = 60;  // seconds; nothing in the socket reads it
};

class TCustomWSocket : public TComponent, private plat::MessageTarget, protected TSessionFields {
 public:
  static constexpr int kLookupAreaSize = 1025;

  explicit TCustomWSocket(TComponent* owner);
  ~TCustomWSocket() override;

  // ---- properties
  const std::string& Addr() const { return FAddr.Text; }
  void AssignAddr(const std::string& value);
  const std::string& Port() const { return FPort.Text; }
  virtual void AssignPort(const std::string& value);
  const std::string& Proto() const { return FProto.Text; }
  virtual void AssignProto(const std::string& value);
  const std::string& LocalAddr() const { return FLocalAddr; }
  // The address families Addr, LocalAddr and lookups may use (sfAny by
  // default). Read when an address is next resolved.
  TSocketFamily SocketFamily() const { return FSocketFamily; }
  void SetSocketFamily(TSocketFamily value);
  // Whether the socket listening now takes IPv4 peers as well as IPv6 ones
  // (one listening on "::" where the system allows it). IPv4 peers then
  // read as IPv4 addresses.
  bool DualStack() const { return FDualStack; }
  // How long (ms) a connection to a name with several addresses waits for
  // one attempt before it starts the next beside it (250 by default, as
  // RFC 8305 suggests); a failed attempt starts the next at once.
  unsigned ConnectAttemptDelay() const { return FAttemptDelay; }
  void SetConnectAttemptDelay(unsigned ms) { FAttemptDelay = ms; }
  void SetLocalAddr(const std::string& value);
  const std::string& LocalPort() const { return FLocalPort.Text; }
  void AssignLocalPort(const std::string& value);
  std::string PeerAddr() { return ReadPeerAddr(); }
  std::string PeerPort() { return ReadPeerPort(); }
  const std::string& DnsResult() const { return FDnsResult; }
  const TStringList& DnsResultList() const { return FDnsResultList; }
  TSocketState State() const { return FState; }
  // Bytes received on this connection, held at 2^31 - 1 once it has
  // carried more.
  std::int32_t ReadCount() const {
    return FReadCount > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(FReadCount);
  }
  // While a layer negotiates (a proxy's replies, a TLS handshake) what
  // arrives is the layer's, not the application's: nothing to read yet.
  std::int32_t RcvdCount() { return Negotiating() ? 0 : QueryRcvdCount(); }
  // The error number of the last failure: a library call's, or WSAEINVAL
  // for a failed check (misuse).
  std::int32_t LastError() const { return FLastError; }
  bool MultiThreaded() const { return FMultiThreaded; }
  void SetMultiThreaded(bool value) { FMultiThreaded = value; }
  TWSocketOptions ComponentOptions() const { return FComponentOptions; }
  void SetComponentOptions(TWSocketOptions value) { FComponentOptions = value; }
  std::int32_t FlushTimeout() const { return FFlushTimeout; }
  void SetFlushTimeout(std::int32_t value) { FFlushTimeout = value; }
  TSocketSendFlags SendFlags();
  void SetSendFlags(TSocketSendFlags value);
  TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
  void SetLingerOnOff(TSocketLingerOnOff value) { FLingerOnOff = value; }
  std::int32_t LingerTimeout() const { return FLingerTimeout; }
  void SetLingerTimeout(std::int32_t value) { FLingerTimeout = value; }
  TSocketHandle HSocket() const { return FSocketHandle; }
  bool QuitReceived() const { return FQuitReceived; }
  plat::WindowHandle Handle() const { return FNotifyWindow; }
  std::int32_t BlockSize() const { return FSendQueue.BlockSize(); }
  // The queue of connections waiting for Accept that Listen asks for. By
  // default the system's maximum: a small queue drops connects that come in
  // a burst, and a client the system has already acknowledged then waits
  // minutes to learn it was never served. Read by the next Listen.
  std::int32_t ListenBacklog() const { return FListenBacklog; }
  void SetListenBacklog(std::int32_t value) { FListenBacklog = value; }

  // ---- events
  TSessionAvailable OnSessionAvailable;
  TSessionConnected OnSessionConnected;
  TSessionClosed OnSessionClosed;
  TChangeState OnChangeState;
  TDataAvailable OnDataAvailable;
  TDataSent OnDataSent;
  TSendData OnSendData;
  TNotifyEvent OnLineTooLong;
  TDnsLookupDone OnDnsLookupDone;
  TNotifyEvent OnError;
  TBgExceptionEvent OnBgException;
  TNotifyEvent OnSendQueueLow;
  // The connection's steps as they happen; never carries a secret.
  TTraceEvent OnTrace;

  // ---- connection operations
  virtual void Connect();
  virtual void Close();
  virtual void CloseLater();
  virtual void FreeLater();
  virtual void Abort();
  virtual void Listen();
  virtual TSocketHandle Accept();
  virtual void Dup(TSocketHandle newHandle);
  virtual void Shutdown(int how);
  virtual int Pause();
  virtual int Resume();

  // ---- back-pressure (as libuv's uv_read_stop/uv_read_start, or a Node
  // stream's pause/resume beside its highWaterMark and 'drain'):
  //
  //   OnDataAvailable: Receive, Send the answer, and when SendQueueSize()
  //                    is above a mark of the program's, PauseReceiving();
  //   OnDataSent:      the queue is empty: ResumeReceiving().
  //
  // PauseReceiving stops reading the connection and nothing else: sends go
  // on, OnDataSent and OnSessionClosed still fire, and what arrives waits in
  // the system (whose window then holds the peer back) or in the layers. No
  // OnDataAvailable fires and no time is spent on the socket while it
  // holds. A negotiation under way (a proxy's, a TLS handshake) still reads
  // what is its own. The peer's orderly close with bytes still unread is
  // told after them, once receiving resumes; a close with nothing left to
  // read, or a reset, is told at once. A new connection starts reading.
  virtual void PauseReceiving();
  // Takes up reading again: what the layers and the socket hold is offered
  // from the event loop right after the caller returns to it, without
  // waiting for more to arrive.
  virtual void ResumeReceiving();
  bool ReceivingPaused() const { return FReceivingPaused; }
  // Bytes that Send has accepted and the system has not taken yet, as they
  // go out (encrypted or compressed by a layer, when one is on).
  std::int64_t SendQueueSize() const;
  // OnSendQueueLow fires when the system, taking queued bytes, brings
  // SendQueueSize from above this mark (0 by default: the queue has run
  // empty) to at or below it: the moment to ResumeReceiving, or to send
  // more. Unlike OnDataSent it is never brought by a Send that went out at
  // once, so a server that sets it pays nothing while its clients keep up.
  std::int64_t SendQueueLowMark() const { return FSendQueueLowMark; }
  void SetSendQueueLowMark(std::int64_t value) { FSendQueueLowMark = value < 0 ? 0 : value; }

  // ---- transfer
  virtual int Send(const void* data, int length);
  virtual int SendTo(const plat::TSockAddrIn& dest, int destLen, const void* data, int length);
  virtual int SendTo(const TSocketAddress& dest, const void* data, int length);
  virtual int SendString(const std::string& text);
  virtual int Receive(void* buffer, int size);
  virtual std::string ReceiveString();
  virtual int ReceiveFrom(void* buffer, int size, plat::TSockAddrIn& from, int& fromLen);
  virtual int ReceiveFrom(void* buffer, int size, TSocketAddress& from);
  virtual void Flush();
  virtual void WaitUntilClosed();

  // ---- names and lookups
  virtual void DnsLookup(const std::string& hostName);
  virtual void ReverseDnsLookup(const std::string& hostAddr);
  virtual void CancelDnsLookup();
  virtual std::string ReadPeerAddr();
  virtual std::string ReadPeerPort();
  virtual int QueryPeerName(plat::TSockAddrIn& name, int length);
  virtual int QuerySockName(plat::TSockAddrIn& name, int& length);
  int QueryPeerName(TSocketAddress& name);
  int QuerySockName(TSocketAddress& name);
  virtual std::string ReadBoundPort();
  virtual std::string ReadBoundAddr();

  // Whether the connection has moved data towards the peer since the last
  // call: bytes were handed to the system, or bytes the system held for the
  // peer went out (the peer is reading). Not while nothing is held for the
  // peer: then a silence is the peer's. For an inactivity limit, which must
  // not cut off a peer that is still taking a long send.
  bool PeerTakingData();

  // TCP_NODELAY on the current socket, if any; a hint, failures are ignored.
  void SetTcpNoDelay(bool on);
  // Asks the system to send full segments only, until turned off (which
  // sends what is held). Where the system has no such option, nothing.
  virtual void SetTcpCork(bool on);
  // Acknowledges what arrives at once rather than on the delayed-ACK timer,
  // for a while: asked after a read when more of an answer is due, which a
  // server holds back until its first piece is acknowledged. A hint.
  void AckPromptly();

  virtual void PumpMessages();
  static bool TimeValIsSet(const TTimeVal& tv);
  static void TimeValClear(TTimeVal& tv);
  static bool TimeValCompare(const TTimeVal& a, const TTimeVal& b, bool equal);

 protected:
  virtual void HandleWindowMessage(TMessage& msg);
  // Puts the connection state back after a close; see the top of the file
  // for why the constructor does not call it.
  virtual void ResetDefaults();
  virtual void DoClose(bool shut, std::uint16_t error);
  // The connection is over (closed, aborted, lost, or its handle replaced
  // by Dup): a layer drops whatever it still holds of it, so that none of
  // it reaches a later connection. The core holds nothing itself.
  virtual void ForgetConnectionData() {}
  // Bytes waiting to be read, or -1. A layer that holds received bytes of
  // its own counts them here, so that delivery goes on while it holds any.
  virtual std::int32_t QueryRcvdCount();
  // How many received bytes the layers above the socket still hold (a
  // proxy's surplus, decrypted text, lines being split): each layer adds
  // its own to the answer of the layer below. Resume and the delivery loop
  // ask it, so that what a layer holds is never left waiting for a
  // notification the socket will not send.
  virtual std::int32_t LayersHold() { return 0; }
  // The bytes below the layers now mean something else (TLS has started on
  // a connection that spoke in clear): whatever a layer holds arrived under
  // the old transport and must never be handed out as if it came under the
  // new one, so every layer drops it. One notice for all layers; a layer
  // that holds bytes overrides it and calls the one below.
  virtual void TransportChanged() { FHeldStalled = false; }
  // A layer is negotiating on the connection, so the bytes arriving are
  // its own.
  virtual bool Negotiating() const { return false; }
  // Whether anything listens for OnDataSent: when nothing does, a Send that
  // empties the queue posts no message to bring it.
  virtual bool DataSentWanted() const { return static_cast<bool>(OnDataSent); }
  // The application read bytes a layer held: when they had stalled, the
  // rest goes on from the event loop (no socket notification brings it).
  void HeldBytesRead();
  // Asks the event loop for the next piece of delivery, once.
  void PostDeliverMore();
  // A layer offers the application bytes it holds: `fire` calls the
  // handler, `held` counts the layer's bytes. A handler that read none of
  // them would be called for ever, so they stall (see FHeldStalled) until
  // something changes. Only when the application read nothing at all: a
  // layer above may have been offering bytes of its own.
  template <typename Held, typename Fire>
  bool OfferHeld(Held held, Fire fire) {
    const auto before = held();
    const std::int64_t readBefore = FReadCount;
    const bool handled = fire();
    if (handled && before > 0 && held() >= before && FReadCount == readBefore) FHeldStalled = true;
    return handled;
  }
  virtual void BindLocal();
  virtual int SendRaw(const void* data, int length);
  // Both report a failure with `error` as its number: LastError := error,
  // then OnError when assigned, otherwise ESocketException with the text.
  virtual void RaiseErrorFmt(const std::string& formatted, int error);
  virtual void RaiseError(const std::string& message, int error);
  virtual void HandleEventException(const std::exception& e);
  virtual bool FireDataAvailable(std::uint16_t error);
  virtual void FireSessionAvailable(std::uint16_t error);
  virtual void FireSessionConnected(std::uint16_t error);
  virtual void FireSessionClosed(std::uint16_t error);
  virtual void FireDataSent(std::uint16_t error);
  virtual void FireChangeState(TSocketState oldState, TSocketState newState);
  virtual void FireDnsLookupDone(std::uint16_t error);
  virtual void FireError();
  void Trace(const std::string& text) {
    if (OnTrace) OnTrace(this, text);
  }
  virtual int RecvRaw(void* buffer, int size, int flags);
  virtual int RecvFromRaw(TSocketHandle handle, void* buffer, int size, int flags,
                          plat::TSockAddr* from, int& fromLen);

  void EnterState(TSocketState newState);
  void TryToSend();
  // Sends from the caller's bytes when nothing is queued before them: the
  // bytes taken (the rest is queued), or -1 when the connection failed.
  // `full` tells that the socket took nothing and will say when it can.
  int SendDirect(const void* data, int length, bool& full);
  // A send that failed for another reason than a full socket.
  void SendFailed(int error);
  void AppendToSendBuffer(const void* data, int length);
  void ClearSendBuffer();
  // Hands received data to OnDataAvailable: one piece per call, then back
  // to the message loop (MsgDeliverMore) while bytes are waiting.
  void DeliverReceived(std::uint16_t error);
  // Nothing may be handed to the application now: the socket is paused, or
  // its receiving is and no layer negotiates.
  bool ReceivingHeld() const { return FPaused || (FReceivingPaused && !Negotiating()); }
  // Whether any received byte still waits for the application, in the
  // socket or in a layer: each layer answers for what it holds.
  bool AnythingWaiting();
  void HandleSocketNotification(TMessage& msg);
  void ApplyLinger();
  void ReportSocketError(const std::string& functionName);
  void FireSendData(std::int32_t count);
  bool PumpOneMessage();
  void PumpPendingMessages();
  plat::WindowHandle CreateNotifyWindow();
  // Resolves whatever of Proto, Port, LocalPort and Addr is not yet known:
  // the addresses of Addr, each with Port, in the system's order, of the
  // families the settings allow and of `family` only when not 0.
  TSocketAddressList ResolveForUse(int family = 0);
  // The protocol and local port only: what a routed connection needs.
  void ResolveLocalForUse();
  // Where Connect goes. A layer that routes the connection elsewhere (a
  // proxy) writes that endpoint's addresses into `remote` and returns true;
  // then the destination's Addr and Port are left as they are, not
  // resolved here.
  virtual bool RouteConnection(TSocketAddressList& remote) {
    (void)remote;
    return false;
  }
  void HandleLookupDone(TMessage& msg);
  template <typename Number>
  void AssignText(TResolvedText<Number>& field, const std::string& value, const char* name);
  void BeginLookup();
  bool PeerName(TSocketAddress& sa, const char* what);
  bool BoundName(TSocketAddress& sa);
  // The local address to bind to for a socket of `family`.
  TSocketAddress LocalAddressFor(int family);
  // The family LocalAddr ties a connection to, 0 when it is unspecified.
  int LocalFamily() const;
  // The area the next lookup writes into, made when first needed.
  char* LookupArea();
  // Cancels the pending lookup; returns the library's result.
  int CancelLookup();
  // One call of OnDataAvailable (or, without a handler, one discarding
  // read). Returns the bytes still waiting, 0 when delivery stops here.
  std::int32_t DeliverOnce(std::uint16_t error);
  // The next piece, when MsgDeliverMore comes and bytes are still waiting.
  void DeliverMore();
  // Blocks until the next message and handles it (no busy waiting).
  void WaitForEvent();
  // Whether the loop was told to quit, or the object to free itself, so
  // that waits give up.
  bool Terminating() const;
  // Held while the object is on the call stack: a message it is handling,
  // or a wait of its own that runs the message loop and uses the object
  // after each message. A FreeLater handled meanwhile only marks the object;
  // the outermost holder frees it on its way out.
  class TInUse {
   public:
    explicit TInUse(TCustomWSocket& socket) : socket_(socket) { ++socket_.FInUse; }
    ~TInUse() {
      if (--socket_.FInUse == 0 && socket_.FFreeAsked && !socket_.Destroying()) {
        // Once: a destructor of a class above that closes the socket holds
        // it again on the way.
        socket_.FFreeAsked = false;
        delete &socket_;
      }
    }
    TInUse(const TInUse&) = delete;
    TInUse& operator=(const TInUse&) = delete;

   private:
    TCustomWSocket& socket_;
  };

  // Numbers the sockets this object has had, one after the other. A message
  // the object posts to itself about one connection carries it (wParam), so
  // that one still queued when the connection ends is known as stale and
  // ignored, though the next socket may get the same handle number.
  std::uintptr_t ConnectionSerial() const { return FConnectionSerial; }
  // A new socket handle: what is still queued belongs to the old one.
  void BeginConnection(TSocketHandle handle);
  // Called first by whatever opens a socket: when that happens inside the
  // OnSessionClosed of a close still under way, the rest of that close (what
  // the layers hold of the old connection, the record of its session) is
  // done now, and the close leaves the new connection alone.
  void FinishCloseUnderWay();
  // The connection an event is about to be fired for. Afterwards,
  // ConnectionEnded tells whether its handler closed it, or closed it and
  // opened another, which may have been given the same handle number: either
  // way, nothing more may be done to "the" connection.
  struct TConnectionMark {
    TSocketHandle handle;
    std::uintptr_t serial;
  };
  TConnectionMark MarkConnection() const { return {FSocketHandle, FConnectionSerial}; }
  bool ConnectionEnded(const TConnectionMark& mark) const {
    return FSocketHandle != mark.handle || FConnectionSerial != mark.serial;
  }
  // Only that the handler opened another connection (a close alone leaves
  // the events of the old one still to be reported).
  bool ConnectionReplaced(const TConnectionMark& mark) const {
    return FConnectionSerial != mark.serial;
  }
  // The socket handle was released: its notifications still queued go, on
  // both systems alike, before another socket can take the same number.
  void DiscardNotifications();

  const TSendQueue& SendBuffer() const { return FSendQueue; }
  bool Drained() const { return FDrained; }

  // What survives a close. The connection's own state is in TSessionFields.
  // Results of the last lookup (DnsLookup, ReverseDnsLookup).
  std::string FDnsResult;
  TStringList FDnsResultList;
  // ---- a connection to a name with several addresses (RFC 8305): attempts
  // alternate between the families, a new one every FAttemptDelay ms while
  // earlier ones are pending and at once when one fails; the first to
  // connect wins. FSocketHandle is always a pending attempt (the primary,
  // on MsgSocketEvent); the others are extras, on MsgAttemptEvent.
  struct TConnectRace {
    TSocketAddressList order;
    std::size_t next = 1;  // the next address of `order` to try
    struct TAttempt {
      TSocketHandle handle;
      TSocketAddress address;
    };
    std::vector<TAttempt> extras;
    std::uint16_t lastError = 0;
  };
  unsigned FAttemptDelay = 250;
  static constexpr std::uintptr_t kAttemptTimer = 1;
  std::unique_ptr<TConnectRace> FRace;
  // Opens a stream socket for `address` and starts connecting it, with its
  // notifications as `msg` for `mask`. The socket, or INVALID_SOCKET with
  // the error in `error`.
  TSocketHandle OpenAttempt(const TSocketAddress& address, unsigned msg, long mask,
                            std::uint16_t& error);
  // Starts the next address as an extra attempt; false when none is left.
  bool StartExtraAttempt();
  // The primary failed with `error`: another attempt takes its place and
  // true, or false when none is left (the primary stays, to report).
  bool ReplacePrimary(std::uint16_t error);
  void HandleAttemptNotification(TMessage& msg);
  void HandleAttemptTimer();
  // Closes the extras and forgets the race (the primary stays as it is).
  void EndRace();

  // The pending lookup on a thread (DnsLookup of a name, ReverseDnsLookup
  // of an IPv6 address), 0 when none.
  std::uintptr_t FAddrLookup = 0;
  bool StartLookupThread(const std::string& name, const TSocketAddress* reverse);
  void HandleAddrLookupDone(TMessage& msg);
  void DropAddrLookup();
  // The addresses the last DnsLookup found for FLookupName, which Connect
  // to that name uses instead of looking it up again.
  std::string FLookupName;
  TSocketAddressList FLookupAddresses;

  TSocketFamily FSocketFamily = sfAny;
  std::int64_t FSendQueueLowMark = 0;
  // The handle that the last Accept returned, and how many it has taken.
  TSocketHandle FLastAcceptedHandle = INVALID_SOCKET;
  std::uint32_t FAcceptCount = 0;
  // Connections offered in one turn of a listener, before the other
  // sockets have theirs.
  static constexpr int kAcceptsPerTurn = 128;
  // Data queued for sending, kept across a close until the next Connect,
  // Listen or Abort.
  TSendQueue FSendQueue;
  // The flags argument of every send: 0, or 1 for out-of-band data.
  std::uint8_t FSendFlags = 0;
  std::int32_t FLastError = 0;
  plat::WindowHandle FNotifyWindow = 0;
  // Where the library writes a lookup's host entry; see CancelLookup. Made
  // by the first lookup: a server's thousands of sockets never look up.
  std::unique_ptr<char[]> FLookupResultArea;
  // The pending lookup's request, 0 when none; a done message that came
  // before its request was known, to be handled once it is.
  std::uintptr_t FLookupRequest = 0;
  // The remote address and port texts: readable after a close, but they
  // must be assigned again before the next connection.
  TResolvedText<TSocketAddressList> FAddr;  // ports not set
  TResolvedText<std::uint16_t> FPort;
  bool FMultiThreaded = false;
  TWSocketOptions FComponentOptions = 0;
  std::int32_t FListenBacklog = plat::ListenBacklogMax();
  // Set when this socket's own pump met WM_QUIT.
  bool FQuitReceived = false;
  // DoClose has fired OnSessionClosed and has yet to forget the connection.
  bool FCloseUnderWay = false;
  // TInUse holders on the stack, and a FreeLater held until they are gone.
  int FInUse = 0;
  bool FFreeAsked = false;
  // The notification mask last registered.
  std::int32_t FSelectMask = 0;
  std::uintptr_t FConnectionSerial = 0;
  // TryToSend is running: a handler it calls (OnSendData) that sends again
  // only queues, and the running loop sends it.
  bool FInTryToSend = false;

 private:
  std::intptr_t HandleMessage(std::uint32_t msg, std::uintptr_t wParam,
                              std::intptr_t lParam) override;
};
