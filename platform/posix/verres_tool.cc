// Build-time tool: writes the program's version resource as a C++ source
// whose bytes land in their own ELF section of the executable.
//
//   verres OUT.cc PRODUCT_VERSION FILE_VERSION LANGCP NAME=VALUE... [LANGCP NAME=VALUE...]
//
// Versions are a.b.c.d; a translation starts with 8 hex digits, language
// first (041504E2), and is followed by its strings.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/posix/versionres.h"

namespace {

bool ParseVersion(const char* s, std::uint16_t out[4]) {
  return std::sscanf(s, "%hu.%hu.%hu.%hu", &out[0], &out[1], &out[2], &out[3]) == 4;
}

bool IsTranslation(const std::string& s) {
  return s.size() == 8 && s.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: verres OUT.cc PRODUCT_VERSION FILE_VERSION [LANGCP NAME=VALUE...]...\n");
    return 2;
  }
  plat::posix::VersionDescription d;
  if (!ParseVersion(argv[2], d.productVersion) || !ParseVersion(argv[3], d.fileVersion)) {
    std::fprintf(stderr, "verres: versions are written a.b.c.d\n");
    return 2;
  }
  for (int i = 4; i < argc; ++i) {
    std::string a = argv[i];
    if (IsTranslation(a)) {
      unsigned long v = std::strtoul(a.c_str(), nullptr, 16);
      plat::posix::VersionTranslation t;
      t.language = static_cast<std::uint16_t>(v >> 16);
      t.codePage = static_cast<std::uint16_t>(v);
      d.translations.push_back(t);
      continue;
    }
    std::size_t eq = a.find('=');
    if (eq == std::string::npos || d.translations.empty()) {
      std::fprintf(stderr, "verres: '%s' is neither a translation nor a NAME=VALUE after one\n",
                   argv[i]);
      return 2;
    }
    d.translations.back().strings.emplace_back(a.substr(0, eq), a.substr(eq + 1));
  }
  std::vector<std::uint8_t> bytes = plat::posix::BuildVersionResource(d);
  std::ofstream out(argv[1]);
  out << "// Generated at build time; do not edit.\n"
      << "__attribute__((section(\"" << plat::posix::kVersionSection << "\"), used))\n"
      << "extern const unsigned char kVersionResource[] = {";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out << (i % 16 ? " " : "\n    ") << static_cast<unsigned>(bytes[i]) << ',';
  }
  out << "\n};\n";
  return out ? 0 : 1;
}
