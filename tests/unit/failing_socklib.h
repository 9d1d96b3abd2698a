// A socket library that fails on demand: the platform's own library, bound
// through the facade's loader hook, except that chosen calls of send, recv
// and accept fail with a chosen error number instead of reaching the library.
//
//   FailingSocketLibrary library;          // before the test's sockets
//   library.FailSend(2, plat::WSAECONNRESET);  // the second send from now
//   ... sockets send and receive; the planned call fails ...
//
// Installing and removing the library unloads the socket library, so the
// object has to be created before the test's sockets and go after them (a
// test fixture member, or the first local of the test). One at a time.
#pragma once

#include <map>

#include "net/WSockLib.h"
#include "platform/files.h"

class FailingSocketLibrary {
 public:
  FailingSocketLibrary() {
    State() = {};
    SetSocketLibraryLoader(&kLoader);
  }
  ~FailingSocketLibrary() { SetSocketLibraryLoader(nullptr); }
  FailingSocketLibrary(const FailingSocketLibrary&) = delete;
  FailingSocketLibrary& operator=(const FailingSocketLibrary&) = delete;

  // The nth call of send (recv) from now on, counting from 1, fails with
  // `error`: it returns -1 with that error number and leaves the socket
  // untouched. Calls before and after it go to the library.
  void FailSend(int nth, int error) { State().sendFailures[State().sends + nth] = error; }
  void FailRecv(int nth, int error) { State().recvFailures[State().recvs + nth] = error; }
  void FailAccept(int nth, int error) { State().acceptFailures[State().accepts + nth] = error; }
  int AcceptCalls() const { return State().accepts; }
  // Calls of send (recv) since the library was installed, failed ones too.
  int SendCalls() const { return State().sends; }
  int RecvCalls() const { return State().recvs; }

 private:
  struct Plan {
    void* library = nullptr;
    plat::wsa::send send = nullptr;
    plat::wsa::recv recv = nullptr;
    plat::wsa::accept accept = nullptr;
    plat::wsa::WSASetLastError setLastError = nullptr;
    int sends = 0, recvs = 0, accepts = 0;
    std::map<int, int> sendFailures, recvFailures, acceptFailures;  // call number, error
  };
  static Plan& State() {
    static Plan plan;
    return plan;
  }

  // Fails the call if it is planned to; returns whether it did.
  static bool Planned(std::map<int, int>& failures, int call) {
    auto it = failures.find(call);
    if (it == failures.end()) return false;
    State().setLastError(it->second);
    failures.erase(it);
    return true;
  }
  static int PLAT_WINAPI Send(plat::TSocket s, const char* buf, int len, int flags) {
    Plan& p = State();
    if (Planned(p.sendFailures, ++p.sends)) return plat::kSocketError;
    return p.send(s, buf, len, flags);
  }
  static int PLAT_WINAPI Recv(plat::TSocket s, char* buf, int len, int flags) {
    Plan& p = State();
    if (Planned(p.recvFailures, ++p.recvs)) return plat::kSocketError;
    return p.recv(s, buf, len, flags);
  }

  static plat::TSocket PLAT_WINAPI Accept(plat::TSocket s, plat::TSockAddr* addr, int* len) {
    Plan& p = State();
    if (Planned(p.acceptFailures, ++p.accepts)) return plat::kInvalidSocket;
    return p.accept(s, addr, len);
  }

  static void* Load(const char* name) {
    Plan& p = State();
    p.library = plat::SocketLibraryLoad(name);
    if (p.library != nullptr) {
      p.send = reinterpret_cast<plat::wsa::send>(plat::SocketLibraryProc(p.library, "send"));
      p.recv = reinterpret_cast<plat::wsa::recv>(plat::SocketLibraryProc(p.library, "recv"));
      p.accept = reinterpret_cast<plat::wsa::accept>(plat::SocketLibraryProc(p.library, "accept"));
      p.setLastError = reinterpret_cast<plat::wsa::WSASetLastError>(
          plat::SocketLibraryProc(p.library, "WSASetLastError"));
    }
    return p.library;
  }
  static void* Find(void* library, const char* name) {
    std::string n = name;
    if (n == "send") return reinterpret_cast<void*>(&Send);
    if (n == "recv") return reinterpret_cast<void*>(&Recv);
    if (n == "accept") return reinterpret_cast<void*>(&Accept);
    return plat::SocketLibraryProc(library, name);
  }
  static constexpr TSocketLibraryLoader kLoader = {Load, Find, plat::SocketLibraryFree,
                                                   plat::LastOsError};
};
