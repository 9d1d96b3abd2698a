#include "net/WSockLib.h"

#include "platform/files.h"
#include "platform/tls.h"

std::int32_t InstanceCount = 0;

namespace {

const char kLibraryName[] = "ws2_32.dll";

enum Slot {
#define WSOCK_SLOT(name, result, params, args) s##name,
  PLAT_SOCKET_ENTRY_POINTS(WSOCK_SLOT)
#undef WSOCK_SLOT
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
  if (binding.library != nullptr) {
    // Still running a cancelled lookup, so it cannot be freed: it stays
    // loaded but forgotten, and the new loader binds everything afresh.
    binding.library = nullptr;
    for (void*& slot : binding.SocketProcTable) slot = nullptr;
    binding.pinned = false;
  }
  binding.loader = loader != nullptr ? loader : &kPlatformLoader;
}

std::string SocketErrorText(int error) {
  switch (error) {
    case 0:
      return "No Error";
#define WSOCK_ERROR_TEXT(name, number, text, errnos) \
  case plat::name:                                   \
    return text;
      PLAT_SOCKET_ERRORS(WSOCK_ERROR_TEXT)
#undef WSOCK_ERROR_TEXT
    default:
      if (const char* tls = plat::TlsErrorText(error)) return tls;
      if (error == kSocketErrorCompressCorrupt) return "Compressed stream is corrupt";
      if (error == kSocketErrorCompressTruncated)
        return "Compressed stream ended in the middle of a block";
      return "Not a WinSock error";
  }
}

namespace wsock {

#define WSOCK_WRAPPER(name, result, params, args) \
  result name params { return Bound<plat::wsa::name>(s##name, #name) args; }
PLAT_SOCKET_ENTRY_POINTS(WSOCK_WRAPPER)
#undef WSOCK_WRAPPER

}  // namespace wsock
