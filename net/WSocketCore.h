// TCustomWSocket: an event-driven, never-blocking TCP/UDP socket over IPv4.
//
// Every object owns a hidden window; the socket library reports network
// events for the object's socket as messages to it and the object turns
// each into an event (OnSessionConnected, OnDataAvailable, OnDataSent,
// OnSessionClosed...). No operation waits for the network. Objects are
// used on the thread that created them; events run from its message loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

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

using TSocketHandle = plat::TSocket;
constexpr TSocketHandle INVALID_SOCKET = plat::kInvalidSocket;

constexpr std::uint32_t MsgSocketEvent = plat::kWmUser + 1;
constexpr std::uint32_t MsgHostByNameDone = plat::kWmUser + 2;
constexpr std::uint32_t MsgHostByAddrDone = plat::kWmUser + 3;
constexpr std::uint32_t MsgCloseLater = plat::kWmUser + 4;
constexpr std::uint32_t MsgFreeLater = plat::kWmUser + 5;
constexpr std::uint32_t MsgTestException = plat::kWmUser + 6;

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

// Resolve texts into numbers; all raise ESocketException.
std::uint32_t WSocketResolveHost(const std::string& host);  // network order
std::uint16_t WSocketResolvePort(const std::string& port, const std::string& proto);  // host order
std::int32_t WSocketResolveProto(const std::string& proto);

class TCustomWSocket : public TComponent, private plat::MessageTarget {
 public:
  static constexpr int kLookupAreaSize = 1025;

  explicit TCustomWSocket(TComponent* owner);
  ~TCustomWSocket() override;

  // ---- properties
  const std::string& Addr() const { return FAddr; }
  void AssignAddr(const std::string& value);
  const std::string& Port() const { return FPort; }
  virtual void AssignPort(const std::string& value);
  const std::string& Proto() const { return FProto; }
  virtual void AssignProto(const std::string& value);
  const std::string& LocalAddr() const { return FLocalAddr; }
  void SetLocalAddr(const std::string& value);
  const std::string& LocalPort() const { return FLocalPort; }
  void AssignLocalPort(const std::string& value);
  std::string PeerAddr() { return ReadPeerAddr(); }
  std::string PeerPort() { return ReadPeerPort(); }
  const std::string& DnsResult() const { return FDnsResult; }
  const TStringList& DnsResultList() const { return FDnsResultList; }
  TSocketState State() const { return FState; }
  std::int32_t ReadCount() const { return FReadCount; }
  std::int32_t RcvdCount() { return QueryRcvdCount(); }
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
  std::int32_t BlockSize() const { return FBlockSize; }

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

  // ---- transfer
  virtual int Send(const void* data, int length);
  virtual int SendTo(const plat::TSockAddrIn& dest, int destLen, const void* data, int length);
  virtual int SendString(const std::string& text);
  virtual int Receive(void* buffer, int size);
  virtual std::string ReceiveString();
  virtual int ReceiveFrom(void* buffer, int size, plat::TSockAddrIn& from, int& fromLen);
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
  virtual std::string ReadBoundPort();
  virtual std::string ReadBoundAddr();

  // TCP_NODELAY on the current socket, if any; a hint, failures are ignored.
  void SetTcpNoDelay(bool on);
  // Asks the system to send full segments only, until turned off (which
  // sends what is held). Where the system has no such option, nothing.
  void SetTcpCork(bool on);

  virtual void PumpMessages();
  static bool TimeValIsSet(const TTimeVal& tv);
  static void TimeValClear(TTimeVal& tv);
  static bool TimeValCompare(const TTimeVal& a, const TTimeVal& b, bool equal);

 protected:
  virtual void HandleWindowMessage(TMessage& msg);
  virtual void ResetDefaults();
  virtual void DoClose(bool shut, std::uint16_t error);
  virtual std::int32_t QueryRcvdCount();
  virtual void BindLocal();
  virtual int SendRaw(const void* data, int length);
  virtual void RaiseErrorFmt(const std::string& formatted);
  virtual void RaiseError(const std::string& message);
  virtual void HandleEventException(const std::exception& e);
  virtual bool FireDataAvailable(std::uint16_t error);
  virtual void FireSessionAvailable(std::uint16_t error);
  virtual void FireSessionConnected(std::uint16_t error);
  virtual void FireSessionClosed(std::uint16_t error);
  virtual void FireDataSent(std::uint16_t error);
  virtual void FireChangeState(TSocketState oldState, TSocketState newState);
  virtual void FireDnsLookupDone(std::uint16_t error);
  virtual void FireError();
  virtual int RecvRaw(void* buffer, int size, int flags);
  virtual int RecvFromRaw(TSocketHandle handle, void* buffer, int size, int flags,
                          plat::TSockAddrIn& from, int& fromLen);

  void EnterState(TSocketState newState);
  void TryToSend();
  void AppendToSendBuffer(const void* data, int length);
  void ClearSendBuffer();
  void DeliverReceived(std::uint16_t error);
  void HandleSocketNotification(TMessage& msg);
  void ApplyLinger();
  void ReportSocketError(const std::string& functionName);
  void FireSendData(std::int32_t count);
  bool PumpOneMessage();
  void PumpPendingMessages();
  plat::WindowHandle CreateNotifyWindow();
  // Resolves whatever of Proto, Port, LocalPort and Addr is not yet known.
  void ResolveForUse();
  void HandleLookupDone(TMessage& msg, bool byName);
  void AssignText(std::string& field, bool& assigned, bool& resolved, const std::string& value,
                  const char* name);
  void BeginLookup();
  bool PeerName(plat::TSockAddrIn& sa, const char* what);
  bool BoundName(plat::TSockAddrIn& sa);
  // Cancels the pending lookup; returns the library's result.
  int CancelLookup();

  std::unique_ptr<TBuffer> NewBlock();
  void RetireBlock(std::unique_ptr<TBuffer> block);
  // Blocks until the next message and handles it (no busy waiting).
  void WaitForEvent();
  // Whether the loop was told to quit, so that waits give up.
  bool Terminating() const;

  const std::list<std::unique_ptr<TBuffer>>& SendBuffer() const { return FSendBuffer; }
  bool Drained() const { return FDrained; }

  // Fields, in the order the component's design gives them.
  std::string FDnsResult;
  TStringList FDnsResultList;
  TSocketHandle FLastAcceptedHandle = INVALID_SOCKET;
  std::list<std::unique_ptr<TBuffer>> FSendBuffer;
  std::int32_t FBlockSize = 1514;
  std::uint8_t FSendFlags = 0;
  std::int32_t FLastError = 0;
  plat::WindowHandle FNotifyWindow = 0;
  // Where the library writes a lookup's host entry; see CancelLookup.
  std::unique_ptr<char[]> FLookupResultArea{new char[kLookupAreaSize]()};
  std::uintptr_t FLookupRequest = 0;
  bool FEarlyLookupReply = false;
  TMessage FEarlyLookupMessage{};
  TSocketHandle FSocketHandle = INVALID_SOCKET;
  std::string FAddr;
  bool FAddrKnown = false;
  std::int32_t FAddrFamily = plat::kAfInet;
  bool FHasAddr = false;
  std::int32_t FProtoNumber = 6;
  bool FHasProto = true;
  bool FProtoKnown = false;
  bool FLocalPortKnown = false;
  std::string FProto = "tcp";
  std::string FPort;
  bool FHasPort = false;
  bool FPortKnown = false;
  std::uint16_t FPortNumber = 0;
  std::string FLocalPort = "0";
  std::uint32_t FLocalPortNumber = 0;
  std::string FLocalAddr = "0.0.0.0";
  std::int32_t FSocketType = plat::kSockStream;
  TSocketLingerOnOff FLingerOnOff = wsLingerOn;
  std::int32_t FLingerTimeout = 0;
  bool FDrained = true;
  std::int32_t FReadCount = 0;
  bool FPaused = false;
  bool FSessionClosedFired = false;
  std::int32_t FFlushTimeout = 60;
  bool FMultiThreaded = false;
  TWSocketOptions FComponentOptions = 0;
  TSocketState FState = wsClosed;
  bool FQuitReceived = false;
  std::int32_t FSelectMask = 0;
  plat::TSockAddrIn FSockAddr{plat::kAfInet, 0, {0}, {}};
  bool FInTryToSend = false;
  std::vector<std::unique_ptr<TBuffer>> FSpareBlocks;
  std::uint32_t FSendBufferGeneration = 0;

 private:
  std::intptr_t HandleMessage(std::uint32_t msg, std::uintptr_t wParam,
                              std::intptr_t lParam) override;
};
