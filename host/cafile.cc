#include "host/cafile.h"

#include <cstdio>
#include <string>

#include "platform/userenv.h"

TCaFileSetting CaFileFromEnvironment(std::string& path) {
  if (!plat::GetEnvironment(kCaFileVariable, path) || path.empty()) return TCaFileSetting::Unset;
  // Tried now, so that a mistyped name is told before a connection is
  // made, not as an untrusted server afterwards. A folder opens but does
  // not read.
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return TCaFileSetting::Unreadable;
  // So is a file that holds no certificate (a key, a DER file, another
  // file altogether). Bundles are a few hundred kilobytes; the search
  // stops at the first certificate (of any PEM kind: "BEGIN CERTIFICATE",
  // "BEGIN TRUSTED CERTIFICATE", ...) or after 16 MB.
  static const std::string kBegin = "CERTIFICATE-----";
  constexpr std::size_t kMostRead = 16u << 20;
  std::string held;
  char chunk[16384];
  bool found = false;
  std::size_t n, total = 0;
  while (!found && total < kMostRead && (n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    total += n;
    // Keep the tail of what came before: a marker may span two chunks.
    held.erase(0, held.size() > kBegin.size() ? held.size() - kBegin.size() : 0);
    held.append(chunk, n);
    found = held.find(kBegin) != std::string::npos;
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return TCaFileSetting::Unreadable;
  return found ? TCaFileSetting::Usable : TCaFileSetting::NoCertificates;
}
