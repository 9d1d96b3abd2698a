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
  // `error` is the socket error number behind the failure, 0 when there is
  // none to tell.
  explicit ESocketException(const std::string& message, int error = 0)
      : Exception(message), FErrorCode(error) {}
  int ErrorCode() const { return FErrorCode; }

 private:
  int FErrorCode;
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
// The number of a compressed stream that does not inflate (the compression
// layer's own error, listed here with the texts of the others).
constexpr int kSocketErrorCompressCorrupt = 20121;
// A compressed stream that the peer's close cut in the middle of a block:
// what came last may be short.
constexpr int kSocketErrorCompressTruncated = 20122;
bool SocketLibraryLoaded();
// Records that a cancelled lookup may still be running inside the library
// (see plat::AsyncLookupCancelIsFinal): from then on the library is not
// freed, since freeing it under its own worker thread would crash.
void NoteAbandonedLookup();

// Live socket objects; the last one to go unloads the library.
extern std::int32_t InstanceCount;

// One wrapper per entry point, with the library function's name,
// parameters and result: binds its slot on first use, then calls through
// it. Nothing is interpreted; callers read errors with WSAGetLastError.
namespace wsock {
using namespace plat;
#define WSOCK_DECLARE(name, result, params, args) result name params;
PLAT_SOCKET_ENTRY_POINTS(WSOCK_DECLARE)
#undef WSOCK_DECLARE
}  // namespace wsock
