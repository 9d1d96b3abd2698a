// TWSocket, the socket that applications create: the top of the chain
// TCustomWSocket (net/WSocketCore.h) -> SOCKS layer -> line-mode layer ->
// synchronous layer -> TWSocket. The layers between the core and this class
// are not part of this build yet; each will come in a header of its own,
// included here in place of the core.
#pragma once

#include "net/WSocketCore.h"

class TWSocket : public TCustomWSocket {
 public:
  using TCustomWSocket::TCustomWSocket;
};
