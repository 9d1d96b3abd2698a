// TWSocket: the socket that applications create. The chain below it:
// TCustomWSocket (the core) → TCustomSocksWSocket (SOCKS 4/4A/5) →
// TCustomTlsWSocket (TLS) → TCustomCompressWSocket (DEFLATE) →
// TCustomLineWSocket (line mode) →
// TCustomSyncWSocket (synchronous waits).
#pragma once

#include "net/WSocketSync.h"

class TWSocket : public TCustomSyncWSocket {
 public:
  using TCustomSyncWSocket::TCustomSyncWSocket;
};
