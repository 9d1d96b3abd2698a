#include "host/compress.h"

#include <cstring>

#include "nntp/NntpServer.h"
#include "platform/userenv.h"

TCompressSetting CompressFromEnvironment() {
  std::string value;
  if (!plat::GetEnvironment(kCompressVariable, value)) return TCompressSetting::Auto;
  if (value == "1") return TCompressSetting::On;
  if (value == "0") return TCompressSetting::Off;
  return TCompressSetting::Auto;
}

bool LoopbackAddress(const std::string& address) {
  if (address.rfind("127.", 0) == 0) return true;
  std::uint8_t bytes[16];
  if (!ParseIpv6Address(address, bytes)) return false;
  static const std::uint8_t kZeros[15] = {};
  if (std::memcmp(bytes, kZeros, 10) != 0) return false;
  // ::1, or an IPv4 loopback address mapped into IPv6 (::ffff:127.0.0.1),
  // which a dual-stack socket reports for a peer that came over IPv4.
  if (bytes[10] == 0xFF && bytes[11] == 0xFF) return bytes[12] == 127;
  return std::memcmp(bytes, kZeros, 15) == 0 && bytes[15] == 1;
}

bool CompressWanted(const std::string& peerAddress, bool worthIt) {
  switch (CompressFromEnvironment()) {
    case TCompressSetting::On:
      return true;
    case TCompressSetting::Off:
      return false;
    case TCompressSetting::Auto:
      break;
  }
  return worthIt && !LoopbackAddress(peerAddress);
}
