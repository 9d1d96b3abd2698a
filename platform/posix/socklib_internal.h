// Shared pieces of the POSIX emulation of the socket library.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include "platform/socklib.h"

// The C library may make these macros; the emulation has entry points of
// these names, and calls the functions.
#undef htons
#undef ntohs

namespace plat::posix {

// The calling thread's last socket error, in Windows Sockets numbering.
void SetWsaError(int error);
int GetWsaError();
// errno (or a resolver code, for the lookup paths) to Windows Sockets numbers.
int WsaFromErrno(int error);
int WsaFromResolver(int code);

// The emulation's entry points, one per entry point of the library and
// with its name (socklib.cc, the resolvers in socklib_lookup.cc). They call
// the system's functions of the same names qualified with ::.
namespace emu {
#define PLAT_EMU_DECLARE(name, result, params, args) result PLAT_WINAPI name params;
PLAT_SOCKET_ENTRY_POINTS(PLAT_EMU_DECLARE)
#undef PLAT_EMU_DECLARE
}  // namespace emu

}  // namespace plat::posix
