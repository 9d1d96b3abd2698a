// Shared pieces of the POSIX emulation of the socket library.
#pragma once

#include "platform/socklib.h"

namespace plat::posix {

// The calling thread's last socket error, in Windows Sockets numbering.
void SetWsaError(int error);
int GetWsaError();
// errno (or a resolver code, for the lookup paths) to Windows Sockets numbers.
int WsaFromErrno(int error);
int WsaFromResolver(int code);

// Resolver entry points of the emulation (socklib_lookup.cc).
THostEnt* EmuGetHostByName(const char* name);
TServEnt* EmuGetServByName(const char* name, const char* proto);
TProtoEnt* EmuGetProtoByName(const char* name);
std::uintptr_t EmuAsyncGetHostByName(WindowHandle window, unsigned msg, const char* name, char* buf,
                                     int buflen);
std::uintptr_t EmuAsyncGetHostByAddr(WindowHandle window, unsigned msg, const char* addr, int len,
                                     int type, char* buf, int buflen);
int EmuCancelAsyncRequest(std::uintptr_t handle);

}  // namespace plat::posix
