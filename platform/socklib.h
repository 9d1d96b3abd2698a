// The Windows Sockets interface as the socket component sees it: the 1.1
// calls and the protocol-independent name calls of 2.x (getaddrinfo and
// friends, for IPv6), their records, constants and entry-point types, and
// the loader that binds entry points by name. On Windows the loader opens
// "ws2_32.dll"; on POSIX it
// hands out the entry points of an emulation with the same behaviour,
// including WSAAsyncSelect notifications and asynchronous lookups delivered
// as messages to hidden windows (see messages.h).
#pragma once

#include <cstddef>
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
struct TIn6Addr {
  std::uint8_t s6_bytes[16];  // (the C library makes "s6_addr" a macro)
};
struct TSockAddrIn6 {
  std::int16_t sin6_family;
  std::uint16_t sin6_port;  // network order
  std::uint32_t sin6_flowinfo;
  TIn6Addr sin6_addr;
  std::uint32_t sin6_scope_id;
};
static_assert(sizeof(TSockAddrIn6) == 28);
// Room for an address of any family (SOCKADDR_STORAGE).
struct alignas(8) TSockAddrStorage {
  std::int16_t ss_family;
  char ss_data[126];
};
static_assert(sizeof(TSockAddrStorage) == 128);
// One answer of getaddrinfo, in the Windows layout (ADDRINFOA): the name
// comes before the address, unlike in the C library's addrinfo.
struct TAddrInfo {
  int ai_flags;
  int ai_family;
  int ai_socktype;
  int ai_protocol;
  std::size_t ai_addrlen;
  char* ai_canonname;
  TSockAddr* ai_addr;
  TAddrInfo* ai_next;
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

constexpr int kAfUnspec = 0;
constexpr int kAfInet = 2;
constexpr int kAfInet6 = 23;
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
constexpr int kSoError = 0x1007;
constexpr int kTcpNoDelay = 0x0001;
constexpr long kFionRead = 0x4004667F;
constexpr long kFionBio = static_cast<long>(0x8004667EL);
constexpr int kMsgOob = 1;
constexpr std::uint32_t kInaddrNone = 0xFFFFFFFF;
constexpr std::uint32_t kInaddrAny = 0;
constexpr int kMaxGetHostStruct = 1024;
constexpr int kIpProtoIpv6 = 41;
constexpr int kIpv6V6Only = 27;
constexpr int kAiPassive = 0x01;
constexpr int kAiCanonName = 0x02;
constexpr int kAiNumericHost = 0x04;
constexpr int kNiNumericHost = 0x02;
constexpr int kNiNameReqd = 0x04;
constexpr int kNiNumericServ = 0x08;
constexpr int kNiMaxHost = 1025;

constexpr std::uint16_t kFdRead = 0x01;
constexpr std::uint16_t kFdWrite = 0x02;
constexpr std::uint16_t kFdOob = 0x04;
constexpr std::uint16_t kFdAccept = 0x08;
constexpr std::uint16_t kFdConnect = 0x10;
constexpr std::uint16_t kFdClose = 0x20;

// The second parameter of a socket notification carries the event bits
// (WSAAsyncSelect) or the size of the host entry (a lookup's done message)
// in its low 16 bits and the error number in its high 16 bits.
struct TNotification {
  std::uint16_t low;
  std::uint16_t error;
};
constexpr std::intptr_t PackNotification(std::uint16_t low, std::uint16_t error) {
  return static_cast<std::intptr_t>(static_cast<std::uint32_t>(error) << 16 | low);
}
constexpr TNotification UnpackNotification(std::intptr_t lParam) {
  auto v = static_cast<std::uintptr_t>(lParam);
  return {static_cast<std::uint16_t>(v & 0xFFFF), static_cast<std::uint16_t>((v >> 16) & 0xFFFF)};
}

// The Windows Sockets error numbers, with their texts and the errno values
// that the POSIX emulation reports as each of them:
// X(name, number, text, (errno...)). The constants below, SocketErrorText
// and the emulation's errno map are generated from this one list. Success
// (0, "No Error") is not an error and is not in it.
#define PLAT_SOCKET_ERRORS(X)                                                                  \
  X(WSAEINTR, 10004, "Interrupted system call", (EINTR))                                       \
  X(WSAEBADF, 10009, "Bad file number", ())                                                    \
  X(WSAEACCES, 10013, "Permission denied", (EACCES, EPERM))                                    \
  X(WSAEFAULT, 10014, "Bad address", (EFAULT))                                                 \
  X(WSAEINVAL, 10022, "Invalid argument", (EINVAL))                                            \
  X(WSAEMFILE, 10024, "Too many open files", (EMFILE, ENFILE))                                 \
  X(WSAEWOULDBLOCK, 10035, "Operation would block", (EAGAIN, EWOULDBLOCK))                     \
  X(WSAEINPROGRESS, 10036, "Operation now in progress", (EINPROGRESS))                         \
  X(WSAEALREADY, 10037, "Operation already in progress", (EALREADY))                           \
  /* a closed descriptor is "not a socket", as a closed handle is on Windows */                \
  X(WSAENOTSOCK, 10038, "Socket operation on non-socket", (ENOTSOCK, EBADF))                   \
  X(WSAEDESTADDRREQ, 10039, "Destination address required", (EDESTADDRREQ))                    \
  X(WSAEMSGSIZE, 10040, "Message too long", (EMSGSIZE))                                        \
  X(WSAEPROTOTYPE, 10041, "Protocol wrong type for socket", (EPROTOTYPE))                      \
  X(WSAENOPROTOOPT, 10042, "Protocol not available", (ENOPROTOOPT))                            \
  X(WSAEPROTONOSUPPORT, 10043, "Protocol not supported", (EPROTONOSUPPORT))                    \
  X(WSAESOCKTNOSUPPORT, 10044, "Socket type not supported", (ESOCKTNOSUPPORT))                 \
  X(WSAEOPNOTSUPP, 10045, "Operation not supported on socket", (EOPNOTSUPP))                   \
  X(WSAEPFNOSUPPORT, 10046, "Protocol family not supported", (EPFNOSUPPORT))                   \
  X(WSAEAFNOSUPPORT, 10047, "Address family not supported by protocol family", (EAFNOSUPPORT)) \
  X(WSAEADDRINUSE, 10048, "Address already in use", (EADDRINUSE))                              \
  X(WSAEADDRNOTAVAIL, 10049, "Address not available", (EADDRNOTAVAIL))                         \
  X(WSAENETDOWN, 10050, "Network is down", (ENETDOWN))                                         \
  X(WSAENETUNREACH, 10051, "Network is unreachable", (ENETUNREACH))                            \
  X(WSAENETRESET, 10052, "Network dropped connection on reset", (ENETRESET))                   \
  /* accept: a pending connection that failed (a protocol error) is one aborted */             \
  X(WSAECONNABORTED, 10053, "Connection aborted", (ECONNABORTED, EPROTO))                      \
  /* a send to a peer that has reset the connection fails with EPIPE */                        \
  X(WSAECONNRESET, 10054, "Connection reset by peer", (ECONNRESET, EPIPE))                     \
  X(WSAENOBUFS, 10055, "No buffer space available", (ENOBUFS, ENOMEM))                         \
  X(WSAEISCONN, 10056, "Socket is already connected", (EISCONN))                               \
  X(WSAENOTCONN, 10057, "Socket is not connected", (ENOTCONN))                                 \
  X(WSAESHUTDOWN, 10058, "Can't send after socket shutdown", (ESHUTDOWN))                      \
  X(WSAETOOMANYREFS, 10059, "Too many references: can't splice", (ETOOMANYREFS))               \
  X(WSAETIMEDOUT, 10060, "Connection timed out", (ETIMEDOUT))                                  \
  X(WSAECONNREFUSED, 10061, "Connection refused", (ECONNREFUSED))                              \
  X(WSAELOOP, 10062, "Too many levels of symbolic links", (ELOOP))                             \
  X(WSAENAMETOOLONG, 10063, "File name too long", (ENAMETOOLONG))                              \
  X(WSAEHOSTDOWN, 10064, "Host is down", (EHOSTDOWN))                                          \
  X(WSAEHOSTUNREACH, 10065, "No route to host", (EHOSTUNREACH))                                \
  X(WSAENOTEMPTY, 10066, "Directory not empty", (ENOTEMPTY))                                   \
  X(WSAEPROCLIM, 10067, "Too many processes", ())                                              \
  X(WSAEUSERS, 10068, "Too many users", (EUSERS))                                              \
  X(WSAEDQUOT, 10069, "Disc quota exceeded", (EDQUOT))                                         \
  X(WSAESTALE, 10070, "Stale NFS file handle", (ESTALE))                                       \
  X(WSAEREMOTE, 10071, "Too many levels of remote in path", (EREMOTE))                         \
  X(WSASYSNOTREADY, 10091, "Network sub-system is unusable", ())                               \
  X(WSAVERNOTSUPPORTED, 10092, "WinSock DLL cannot support this application", ())              \
  X(WSANOTINITIALISED, 10093, "WinSock not initialized", ())                                   \
  X(WSAHOST_NOT_FOUND, 11001, "Host not found", ())                                            \
  X(WSATRY_AGAIN, 11002, "Non-authoritative host not found", ())                               \
  X(WSANO_RECOVERY, 11003, "Non-recoverable error", ())                                        \
  X(WSANO_DATA, 11004, "No Data", ())

// <windows.h> defines these names as macros, which would turn the
// constants below into numbers: include this header before it.
#ifdef WSAEWOULDBLOCK
#error "platform/socklib.h must come before <windows.h>"
#endif
#define PLAT_SOCKET_ERROR_CONSTANT(name, number, text, errnos) constexpr int name = number;
PLAT_SOCKET_ERRORS(PLAT_SOCKET_ERROR_CONSTANT)
#undef PLAT_SOCKET_ERROR_CONSTANT

// The socket library's entry points, in the order of the facade's table:
// X(name, result, (parameters), (arguments)). The facade's slots and
// wrappers (net/WSockLib), the types below and the POSIX emulation's table
// are all generated from this one list.
#define PLAT_SOCKET_ENTRY_POINTS(X)                                                                \
  X(WSAStartup, int, (std::uint16_t version, TWSAData * data), (version, data))                    \
  X(WSACleanup, int, (), ())                                                                       \
  X(WSASetLastError, void, (int error), (error))                                                   \
  X(WSAGetLastError, int, (), ())                                                                  \
  X(WSACancelAsyncRequest, int, (std::uintptr_t handle), (handle))                                 \
  X(WSAAsyncGetHostByName, std::uintptr_t,                                                         \
    (WindowHandle window, unsigned msg, const char* name, char* buf, int buflen),                  \
    (window, msg, name, buf, buflen))                                                              \
  X(WSAAsyncGetHostByAddr, std::uintptr_t,                                                         \
    (WindowHandle window, unsigned msg, const char* addr, int len, int type, char* buf,            \
     int buflen),                                                                                  \
    (window, msg, addr, len, type, buf, buflen))                                                   \
  X(WSAAsyncSelect, int, (TSocket s, WindowHandle window, unsigned msg, long mask),                \
    (s, window, msg, mask))                                                                        \
  X(getservbyname, TServEnt*, (const char* name, const char* proto), (name, proto))                \
  X(getprotobyname, TProtoEnt*, (const char* name), (name))                                        \
  X(gethostbyname, THostEnt*, (const char* name), (name))                                          \
  X(socket, TSocket, (int af, int type, int protocol), (af, type, protocol))                       \
  X(shutdown, int, (TSocket s, int how), (s, how))                                                 \
  X(setsockopt, int, (TSocket s, int level, int name, const char* value, int len),                 \
    (s, level, name, value, len))                                                                  \
  X(sendto, int, (TSocket s, const char* buf, int len, int flags, const TSockAddr* to, int tolen), \
    (s, buf, len, flags, to, tolen))                                                               \
  X(send, int, (TSocket s, const char* buf, int len, int flags), (s, buf, len, flags))             \
  X(recv, int, (TSocket s, char* buf, int len, int flags), (s, buf, len, flags))                   \
  X(recvfrom, int, (TSocket s, char* buf, int len, int flags, TSockAddr* from, int* fromlen),      \
    (s, buf, len, flags, from, fromlen))                                                           \
  X(ntohs, std::uint16_t, (std::uint16_t v), (v))                                                  \
  X(listen, int, (TSocket s, int backlog), (s, backlog))                                           \
  X(ioctlsocket, int, (TSocket s, long cmd, unsigned long* arg), (s, cmd, arg))                    \
  X(inet_ntoa, char*, (TInAddr in), (in))                                                          \
  X(inet_addr, std::uint32_t, (const char* text), (text))                                          \
  X(htons, std::uint16_t, (std::uint16_t v), (v))                                                  \
  X(getsockname, int, (TSocket s, TSockAddr * name, int* len), (s, name, len))                     \
  X(getpeername, int, (TSocket s, TSockAddr * name, int* len), (s, name, len))                     \
  X(connect, int, (TSocket s, const TSockAddr* name, int len), (s, name, len))                     \
  X(closesocket, int, (TSocket s), (s))                                                            \
  X(bind, int, (TSocket s, const TSockAddr* name, int len), (s, name, len))                        \
  X(accept, TSocket, (TSocket s, TSockAddr * addr, int* len), (s, addr, len))                      \
  X(getsockopt, int, (TSocket s, int level, int name, char* value, int* len),                      \
    (s, level, name, value, len))                                                                  \
  X(getaddrinfo, int,                                                                              \
    (const char* node, const char* service, const TAddrInfo* hints, TAddrInfo** result),           \
    (node, service, hints, result))                                                                \
  X(freeaddrinfo, void, (TAddrInfo * list), (list))                                                \
  X(getnameinfo, int,                                                                              \
    (const TSockAddr* address, int length, char* host, std::uint32_t hostLength, char* service,    \
     std::uint32_t serviceLength, int flags),                                                      \
    (address, length, host, hostLength, service, serviceLength, flags))

// The type of each entry point: plat::wsa::send is a pointer to the
// library's send.
namespace wsa {
#define PLAT_ENTRY_POINT_TYPE(name, result, params, args) using name = result(PLAT_WINAPI*) params;
PLAT_SOCKET_ENTRY_POINTS(PLAT_ENTRY_POINT_TYPE)
#undef PLAT_ENTRY_POINT_TYPE
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

// Asks the system to acknowledge what arrives at once instead of after its
// delayed-acknowledgement timer. A peer whose reply goes out in several
// small writes (a TLS server's session tickets, then its greeting) holds
// each after the first until the last is acknowledged: 40 ms on Linux, up
// to 200 ms on Windows, per exchange. Linux forgets the request after a
// while (TCP_QUICKACK), so it is asked again after reads; Windows keeps it
// (SIO_TCP_SET_ACK_FREQUENCY), where wine does not offer it. Failures are
// ignored; it is a hint.
void AckPromptly(TSocket s);

// Bytes the system holds for the peer of a stream socket, handed over by
// send but not yet acknowledged by the peer; -1 where the system cannot
// tell (Windows). A count that goes down means the peer is taking data.
long UnsentBytes(TSocket s);
// Where the system cannot tell (UnsentBytes), the send buffer a stream
// socket is given (SO_SNDBUF), so that little can wait there unseen: room
// frees, and sends go on, while the peer takes data at any steady rate.
// 0 where no limit is needed.
int SendBacklogLimit();

// The longest queue of connections waiting for accept that the system
// grants a listening socket: what a server asks for unless told otherwise,
// so that a burst of connects is queued rather than refused or dropped.
int ListenBacklogMax();

// Whether a connection waits to be accepted on a listening socket (a look,
// not a wait). The socket asks before each OnSessionAvailable, since an
// FD_ACCEPT may come for a connection taken already, and wine, under a burst,
// does not always tell again after accept while more are waiting.
bool ConnectionWaiting(TSocket listener);

}  // namespace plat
