#include "platform/socklib.h"

#include "platform/win32/win.h"

namespace plat {

void* SocketLibraryLoad(const char* name) { return reinterpret_cast<void*>(LoadLibraryA(name)); }

void* SocketLibraryProc(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void SocketLibraryFree(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

bool AsyncLookupCancelIsFinal() { return false; }

// Windows has no TCP_CORK; the sender's own segmentation has to do.
void SetCork(TSocket, bool) {}

long UnsentBytes(TSocket) { return -1; }

// Sixty-four kilobytes drain in a moment at any usable rate, yet keep a
// full window in flight on a local network.
int SendBacklogLimit() { return 64 * 1024; }

}  // namespace plat
