// The Windows Sockets 1.1 interface as the socket component sees it: its
// records, constants and entry-point types, and the loader that binds entry
// points by name. On Windows the loader opens "wsock32.dll"; on POSIX it
// hands out the entry points of an emulation with the same behaviour,
// including WSAAsyncSelect notifications and asynchronous lookups delivered
// as messages to hidden windows (see messages.h).
#pragma once

#include <cstdint>

#include "platform/messages.h"

#if defined(_WIN32)
#define PLAT_WINAPI __stdcall
#else
#define PLAT_WINAPI
#endif

namespace plat {

using TSocket = std::uintptr_t;
constexpr TSocket kInvalidSocket = ~TSocket{0};
constexpr int kSocketError = -1;

struct TInAddr {
  std::uint32_t S_addr;  // network order
};
struct TSockAddrIn {
  std::int16_t sin_family;
  std::uint16_t sin_port;  // network order
  TInAddr sin_addr;
  char sin_zero[8];
};
static_assert(sizeof(TSockAddrIn) == 16);
struct TSockAddr {
  std::uint16_t sa_family;
  char sa_data[14];
};
struct THostEnt {
  char* h_name;
  char** h_aliases;
  std::int16_t h_addrtype;
  std::int16_t h_length;
  char** h_addr_list;
};
struct TServEnt {
  char* s_name;
  char** s_aliases;
  std::int16_t s_port;  // network order
  char* s_proto;
};
struct TProtoEnt {
  char* p_name;
  char** p_aliases;
  std::int16_t p_proto;
};
struct TWSAData {
  std::uint16_t wVersion;
  std::uint16_t wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
  std::uint16_t iMaxSockets;
  std::uint16_t iMaxUdpDg;
  char* lpVendorInfo;
};
struct TLinger {
  std::uint16_t l_onoff;
  std::uint16_t l_linger;
};

constexpr int kAfInet = 2;
constexpr int kSockStream = 1;
constexpr int kSockDgram = 2;
constexpr int kIpProtoTcp = 6;
constexpr int kIpProtoUdp = 17;
constexpr int kSolSocket = 0xFFFF;
constexpr int kSoReuseAddr = 0x0004;
constexpr int kSoKeepAlive = 0x0008;
constexpr int kSoBroadcast = 0x0020;
constexpr int kSoLinger = 0x0080;
constexpr int kSoSndBuf = 0x1001;
constexpr int kSoRcvBuf = 0x1002;
constexpr int kTcpNoDelay = 0x0001;
constexpr long kFionRead = 0x4004667F;
constexpr long kFionBio = static_cast<long>(0x8004667EL);
constexpr int kMsgOob = 1;
constexpr std::uint32_t kInaddrNone = 0xFFFFFFFF;
constexpr std::uint32_t kInaddrAny = 0;
constexpr int kMaxGetHostStruct = 1024;

constexpr std::uint16_t kFdRead = 0x01;
constexpr std::uint16_t kFdWrite = 0x02;
constexpr std::uint16_t kFdOob = 0x04;
constexpr std::uint16_t kFdAccept = 0x08;
constexpr std::uint16_t kFdConnect = 0x10;
constexpr std::uint16_t kFdClose = 0x20;

namespace wsa {
using WSAStartup = int(PLAT_WINAPI*)(std::uint16_t, TWSAData*);
using WSACleanup = int(PLAT_WINAPI*)();
using WSASetLastError = void(PLAT_WINAPI*)(int);
using WSAGetLastError = int(PLAT_WINAPI*)();
using WSACancelAsyncRequest = int(PLAT_WINAPI*)(std::uintptr_t);
using WSAAsyncGetHostByName = std::uintptr_t(PLAT_WINAPI*)(WindowHandle, unsigned, const char*,
                                                           char*, int);
using WSAAsyncGetHostByAddr = std::uintptr_t(PLAT_WINAPI*)(WindowHandle, unsigned, const char*, int,
                                                           int, char*, int);
using WSAAsyncSelect = int(PLAT_WINAPI*)(TSocket, WindowHandle, unsigned, long);
using getservbyname = TServEnt*(PLAT_WINAPI*)(const char*, const char*);
using getprotobyname = TProtoEnt*(PLAT_WINAPI*)(const char*);
using gethostbyname = THostEnt*(PLAT_WINAPI*)(const char*);
using socket = TSocket(PLAT_WINAPI*)(int, int, int);
using shutdown = int(PLAT_WINAPI*)(TSocket, int);
using setsockopt = int(PLAT_WINAPI*)(TSocket, int, int, const char*, int);
using sendto = int(PLAT_WINAPI*)(TSocket, const char*, int, int, const TSockAddr*, int);
using send = int(PLAT_WINAPI*)(TSocket, const char*, int, int);
using recv = int(PLAT_WINAPI*)(TSocket, char*, int, int);
using recvfrom = int(PLAT_WINAPI*)(TSocket, char*, int, int, TSockAddr*, int*);
using ntohs = std::uint16_t(PLAT_WINAPI*)(std::uint16_t);
using listen = int(PLAT_WINAPI*)(TSocket, int);
using ioctlsocket = int(PLAT_WINAPI*)(TSocket, long, unsigned long*);
using inet_ntoa = char*(PLAT_WINAPI*)(TInAddr);
using inet_addr = std::uint32_t(PLAT_WINAPI*)(const char*);
using htons = std::uint16_t(PLAT_WINAPI*)(std::uint16_t);
using getsockname = int(PLAT_WINAPI*)(TSocket, TSockAddr*, int*);
using getpeername = int(PLAT_WINAPI*)(TSocket, TSockAddr*, int*);
using connect = int(PLAT_WINAPI*)(TSocket, const TSockAddr*, int);
using closesocket = int(PLAT_WINAPI*)(TSocket);
using bind = int(PLAT_WINAPI*)(TSocket, const TSockAddr*, int);
using accept = TSocket(PLAT_WINAPI*)(TSocket, TSockAddr*, int*);
using getsockopt = int(PLAT_WINAPI*)(TSocket, int, int, char*, int*);
}  // namespace wsa

// Loads the socket library by name; returns null and leaves the reason in
// LastOsError() when it cannot.
void* SocketLibraryLoad(const char* name);
// An entry point of a loaded library by name, or null.
void* SocketLibraryProc(void* library, const char* name);
void SocketLibraryFree(void* library);

// Whether a successful WSACancelAsyncRequest guarantees that the lookup will
// not write into the caller's area any more. Not so on Windows (a lookup
// that has just finished races with the cancel, and wine does not cancel at
// all), so there a cancelled lookup's area must be given up, not reused.
bool AsyncLookupCancelIsFinal();

// Asks the system to send full segments only, until turned off, which sends
// what is held (TCP_CORK). Windows has no such option: there it does
// nothing. Failures are ignored; it is a hint.
void SetCork(TSocket s, bool on);

}  // namespace plat
