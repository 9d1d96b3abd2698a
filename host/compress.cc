#include "host/compress.h"

#include "platform/userenv.h"

TCompressSetting CompressFromEnvironment() {
  std::string value;
  if (!plat::GetEnvironment(kCompressVariable, value)) return TCompressSetting::Auto;
  if (value == "1") return TCompressSetting::On;
  if (value == "0") return TCompressSetting::Off;
  return TCompressSetting::Auto;
}

bool LoopbackAddress(const std::string& address) {
  return address.rfind("127.", 0) == 0 || address == "::1";
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
