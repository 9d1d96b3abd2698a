// The process-wide binding to the socket library: loaded on first use,
// started with version 1.1, entry points bound by name when first called,
// unloaded when the last socket object goes. Callers read error numbers
// with wsock::WSAGetLastError (Windows Sockets numbering).
#pragma once

#include <cstdint>
#include <string>

#include "platform/socklib.h"
#include "rtl/sysutils.h"

class ESocketException : public Exception {
 public:
  using Exception::Exception;
};

// How the facade reaches a library; tests substitute their own to show the
// load, start-up and binding failures.
struct TSocketLibraryLoader {
  void* (*Load)(const char* name);
  void* (*Find)(void* library, const char* name);
  void (*Free)(void* library);
  int (*LastOsError)();
};
// Null restores the platform's loader. Unloads a loaded library first.
void SetSocketLibraryLoader(const TSocketLibraryLoader* loader);

void* LookupLibraryProc(const std::string& name);
void UnloadSocketLibrary();
std::string SocketErrorText(int error);
bool SocketLibraryLoaded();
// Records that a cancelled lookup may still be running inside the library
// (see plat::AsyncLookupCancelIsFinal): from then on the library is not
// freed, since freeing it under its own worker thread would crash.
void NoteAbandonedLookup();

// Live socket objects; the last one to go unloads the library.
extern std::int32_t InstanceCount;

namespace wsock {
using namespace plat;
int WSAStartup(std::uint16_t version, TWSAData* data);
int WSACleanup();
void WSASetLastError(int error);
int WSAGetLastError();
int WSACancelAsyncRequest(std::uintptr_t handle);
std::uintptr_t WSAAsyncGetHostByName(WindowHandle window, unsigned msg, const char* name, char* buf,
                                     int buflen);
std::uintptr_t WSAAsyncGetHostByAddr(WindowHandle window, unsigned msg, const char* addr, int len,
                                     int type, char* buf, int buflen);
int WSAAsyncSelect(TSocket s, WindowHandle window, unsigned msg, long mask);
TServEnt* getservbyname(const char* name, const char* proto);
TProtoEnt* getprotobyname(const char* name);
THostEnt* gethostbyname(const char* name);
TSocket socket(int af, int type, int protocol);
int shutdown(TSocket s, int how);
int setsockopt(TSocket s, int level, int name, const char* value, int len);
int sendto(TSocket s, const char* buf, int len, int flags, const TSockAddr* to, int tolen);
int send(TSocket s, const char* buf, int len, int flags);
int recv(TSocket s, char* buf, int len, int flags);
int recvfrom(TSocket s, char* buf, int len, int flags, TSockAddr* from, int* fromlen);
std::uint16_t ntohs(std::uint16_t v);
int listen(TSocket s, int backlog);
int ioctlsocket(TSocket s, long cmd, unsigned long* arg);
char* inet_ntoa(TInAddr in);
std::uint32_t inet_addr(const char* text);
std::uint16_t htons(std::uint16_t v);
int getsockname(TSocket s, TSockAddr* name, int* len);
int getpeername(TSocket s, TSockAddr* name, int* len);
int connect(TSocket s, const TSockAddr* name, int len);
int closesocket(TSocket s);
int bind(TSocket s, const TSockAddr* name, int len);
TSocket accept(TSocket s, TSockAddr* addr, int* len);
}  // namespace wsock
