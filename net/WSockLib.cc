#include "net/WSockLib.h"

#include "platform/files.h"

std::int32_t InstanceCount = 0;

namespace {

const char kLibraryName[] = "wsock32.dll";

enum Slot {
  sWSAStartup,
  sWSACleanup,
  sWSASetLastError,
  sWSAGetLastError,
  sWSACancelAsyncRequest,
  sWSAAsyncGetHostByName,
  sWSAAsyncGetHostByAddr,
  sWSAAsyncSelect,
  sgetservbyname,
  sgetprotobyname,
  sgethostbyname,
  ssocket,
  sshutdown,
  ssetsockopt,
  ssendto,
  ssend,
  srecv,
  srecvfrom,
  sntohs,
  slisten,
  sioctlsocket,
  sinet_ntoa,
  sinet_addr,
  shtons,
  sgetsockname,
  sgetpeername,
  sconnect,
  sclosesocket,
  sbind,
  saccept,
  kSlotCount
};

const TSocketLibraryLoader kPlatformLoader = {plat::SocketLibraryLoad, plat::SocketLibraryProc,
                                              plat::SocketLibraryFree, plat::LastOsError};

struct Binding {
  const TSocketLibraryLoader* loader = &kPlatformLoader;
  void* library = nullptr;
  void* SocketProcTable[kSlotCount] = {};
  plat::TWSAData startup{};
  bool pinned = false;  // a lookup the library may still be running
  // The library is unloaded once more when the program ends.
  ~Binding() { UnloadSocketLibrary(); }
} binding;

template <typename F>
F Bound(Slot slot, const char* name) {
  if (binding.SocketProcTable[slot] == nullptr)
    binding.SocketProcTable[slot] = LookupLibraryProc(name);
  return reinterpret_cast<F>(binding.SocketProcTable[slot]);
}

}  // namespace

void* LookupLibraryProc(const std::string& name) {
  if (binding.library == nullptr) {
    void* library = binding.loader->Load(kLibraryName);
    if (library == nullptr) {
      throw ESocketException(
          Format("Unable to load %s Error #%d", kLibraryName, binding.loader->LastOsError()));
    }
    // Stored before start-up, so that binding WSAStartup below finds the
    // library and cannot load it a second time.
    binding.library = library;
    int rc = wsock::WSAStartup(0x0101, &binding.startup);
    if (rc != 0) throw ESocketException(Format("%s: WSAStartup error #%d", kLibraryName, rc));
  }
  if (name.empty()) return nullptr;
  void* proc = binding.loader->Find(binding.library, name.c_str());
  if (proc == nullptr) {
    throw ESocketException("Procedure " + name + " not found in " + kLibraryName + " Error #" +
                           IntToStr(binding.loader->LastOsError()));
  }
  return proc;
}

void UnloadSocketLibrary() {
  if (binding.library != nullptr && !binding.pinned) {
    // Cleanup is best effort: a library that fails it is unloaded anyway.
    try {
      wsock::WSACleanup();
    } catch (const ESocketException&) {
    }
    binding.loader->Free(binding.library);
    binding.library = nullptr;
    for (void*& slot : binding.SocketProcTable) slot = nullptr;
  }
  InstanceCount = 0;
}

bool SocketLibraryLoaded() { return binding.library != nullptr; }

void NoteAbandonedLookup() { binding.pinned = true; }

void SetSocketLibraryLoader(const TSocketLibraryLoader* loader) {
  UnloadSocketLibrary();
  binding.loader = loader != nullptr ? loader : &kPlatformLoader;
}

std::string SocketErrorText(int error) {
  switch (error) {
    case 0:
      return "No Error";
    case 10004:
      return "Interrupted system call";
    case 10009:
      return "Bad file number";
    case 10013:
      return "Permission denied";
    case 10014:
      return "Bad address";
    case 10022:
      return "Invalid argument";
    case 10024:
      return "Too many open files";
    case 10035:
      return "Operation would block";
    case 10036:
      return "Operation now in progress";
    case 10037:
      return "Operation already in progress";
    case 10038:
      return "Socket operation on non-socket";
    case 10039:
      return "Destination address required";
    case 10040:
      return "Message too long";
    case 10041:
      return "Protocol wrong type for socket";
    case 10042:
      return "Protocol not available";
    case 10043:
      return "Protocol not supported";
    case 10044:
      return "Socket type not supported";
    case 10045:
      return "Operation not supported on socket";
    case 10046:
      return "Protocol family not supported";
    case 10047:
      return "Address family not supported by protocol family";
    case 10048:
      return "Address already in use";
    case 10049:
      return "Address not available";
    case 10050:
      return "Network is down";
    case 10051:
      return "Network is unreachable";
    case 10052:
      return "Network dropped connection on reset";
    case 10053:
      return "Connection aborted";
    case 10054:
      return "Connection reset by peer";
    case 10055:
      return "No buffer space available";
    case 10056:
      return "Socket is already connected";
    case 10057:
      return "Socket is not connected";
    case 10058:
      return "Can't send after socket shutdown";
    case 10059:
      return "Too many references: can't splice";
    case 10060:
      return "Connection timed out";
    case 10061:
      return "Connection refused";
    case 10062:
      return "Too many levels of symbolic links";
    case 10063:
      return "File name too long";
    case 10064:
      return "Host is down";
    case 10065:
      return "No route to host";
    case 10066:
      return "Directory not empty";
    case 10067:
      return "Too many processes";
    case 10068:
      return "Too many users";
    case 10069:
      return "Disc quota exceeded";
    case 10070:
      return "Stale NFS file handle";
    case 10071:
      return "Too many levels of remote in path";
    case 10091:
      return "Network sub-system is unusable";
    case 10092:
      return "WinSock DLL cannot support this application";
    case 10093:
      return "WinSock not initialized";
    case 11001:
      return "Host not found";
    case 11002:
      return "Non-authoritative host not found";
    case 11003:
      return "Non-recoverable error";
    case 11004:
      return "No Data";
    default:
      return "Not a WinSock error";
  }
}

namespace wsock {

#define WSOCK_CALL(name) Bound<plat::wsa::name>(s##name, #name)

int WSAStartup(std::uint16_t version, TWSAData* data) {
  return WSOCK_CALL(WSAStartup)(version, data);
}
int WSACleanup() { return WSOCK_CALL(WSACleanup)(); }
void WSASetLastError(int error) { WSOCK_CALL(WSASetLastError)(error); }
int WSAGetLastError() { return WSOCK_CALL(WSAGetLastError)(); }
int WSACancelAsyncRequest(std::uintptr_t handle) {
  return WSOCK_CALL(WSACancelAsyncRequest)(handle);
}
std::uintptr_t WSAAsyncGetHostByName(WindowHandle window, unsigned msg, const char* name, char* buf,
                                     int buflen) {
  return WSOCK_CALL(WSAAsyncGetHostByName)(window, msg, name, buf, buflen);
}
std::uintptr_t WSAAsyncGetHostByAddr(WindowHandle window, unsigned msg, const char* addr, int len,
                                     int type, char* buf, int buflen) {
  return WSOCK_CALL(WSAAsyncGetHostByAddr)(window, msg, addr, len, type, buf, buflen);
}
int WSAAsyncSelect(TSocket s, WindowHandle window, unsigned msg, long mask) {
  return WSOCK_CALL(WSAAsyncSelect)(s, window, msg, mask);
}
TServEnt* getservbyname(const char* name, const char* proto) {
  return WSOCK_CALL(getservbyname)(name, proto);
}
TProtoEnt* getprotobyname(const char* name) { return WSOCK_CALL(getprotobyname)(name); }
THostEnt* gethostbyname(const char* name) { return WSOCK_CALL(gethostbyname)(name); }
TSocket socket(int af, int type, int protocol) { return WSOCK_CALL(socket)(af, type, protocol); }
int shutdown(TSocket s, int how) { return WSOCK_CALL(shutdown)(s, how); }
int setsockopt(TSocket s, int level, int name, const char* value, int len) {
  return WSOCK_CALL(setsockopt)(s, level, name, value, len);
}
int sendto(TSocket s, const char* buf, int len, int flags, const TSockAddr* to, int tolen) {
  return WSOCK_CALL(sendto)(s, buf, len, flags, to, tolen);
}
int send(TSocket s, const char* buf, int len, int flags) {
  return WSOCK_CALL(send)(s, buf, len, flags);
}
int recv(TSocket s, char* buf, int len, int flags) { return WSOCK_CALL(recv)(s, buf, len, flags); }
int recvfrom(TSocket s, char* buf, int len, int flags, TSockAddr* from, int* fromlen) {
  return WSOCK_CALL(recvfrom)(s, buf, len, flags, from, fromlen);
}
std::uint16_t ntohs(std::uint16_t v) { return WSOCK_CALL(ntohs)(v); }
int listen(TSocket s, int backlog) { return WSOCK_CALL(listen)(s, backlog); }
int ioctlsocket(TSocket s, long cmd, unsigned long* arg) {
  return WSOCK_CALL(ioctlsocket)(s, cmd, arg);
}
char* inet_ntoa(TInAddr in) { return WSOCK_CALL(inet_ntoa)(in); }
std::uint32_t inet_addr(const char* text) { return WSOCK_CALL(inet_addr)(text); }
std::uint16_t htons(std::uint16_t v) { return WSOCK_CALL(htons)(v); }
int getsockname(TSocket s, TSockAddr* name, int* len) {
  return WSOCK_CALL(getsockname)(s, name, len);
}
int getpeername(TSocket s, TSockAddr* name, int* len) {
  return WSOCK_CALL(getpeername)(s, name, len);
}
int connect(TSocket s, const TSockAddr* name, int len) { return WSOCK_CALL(connect)(s, name, len); }
int closesocket(TSocket s) { return WSOCK_CALL(closesocket)(s); }
int bind(TSocket s, const TSockAddr* name, int len) { return WSOCK_CALL(bind)(s, name, len); }
TSocket accept(TSocket s, TSockAddr* addr, int* len) { return WSOCK_CALL(accept)(s, addr, len); }

#undef WSOCK_CALL

}  // namespace wsock
