// Build-time tool: writes the program's version resource as a C++ source
// whose bytes land in their own ELF section of the executable.
//
//   verres OUT.cc SECTION PRODUCT_VERSION FILE_VERSION LANGCP NAME=VALUE... [LANGCP NAME=VALUE...]
//
// Versions are a.b.c.d; a translation starts with 8 hex digits, language
// first (041504E2), and is followed by its strings. The resource is the
// Windows VS_VERSIONINFO block in its Unicode form, exactly the bytes that
// windres puts into the Windows program; the Linux program's version reader
// (platform/posix/verinfo.cc) finds it in SECTION and walks the same format.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/codepage.h"

namespace {

struct VersionTranslation {
  std::uint16_t language = 0;
  std::uint16_t codePage = 0;
  std::vector<std::pair<std::string, std::string>> strings;  // name, UTF-8 value
};

struct VersionDescription {
  std::uint16_t fileVersion[4] = {0, 0, 0, 0};
  std::uint16_t productVersion[4] = {0, 0, 0, 0};
  std::vector<VersionTranslation> translations;
};

std::u16string Utf8ToUtf16(const std::string& s) {
  int n = plat::MultiByteToWide(plat::kCpUtf8, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::u16string out(static_cast<std::size_t>(n > 0 ? n : 0), u'\0');
  if (n > 0)
    plat::MultiByteToWide(plat::kCpUtf8, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

class Writer {
 public:
  std::vector<std::uint8_t> bytes;

  void Word(std::uint16_t v) {
    bytes.push_back(static_cast<std::uint8_t>(v));
    bytes.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  void Dword(std::uint32_t v) {
    Word(static_cast<std::uint16_t>(v));
    Word(static_cast<std::uint16_t>(v >> 16));
  }
  void Text(const std::u16string& s) {
    for (char16_t c : s) Word(c);
    Word(0);
  }
  void Align() {
    while (bytes.size() % 4) bytes.push_back(0);
  }
  // Starts a node; returns its offset so that End can patch its length.
  std::size_t Begin(std::uint16_t valueLength, std::uint16_t type, const std::string& key) {
    Align();
    std::size_t at = bytes.size();
    Word(0);
    Word(valueLength);
    Word(type);
    Text(Utf8ToUtf16(key));
    Align();
    return at;
  }
  void End(std::size_t at) {
    std::size_t len = bytes.size() - at;
    bytes[at] = static_cast<std::uint8_t>(len);
    bytes[at + 1] = static_cast<std::uint8_t>(len >> 8);
  }
};

std::vector<std::uint8_t> BuildVersionResource(const VersionDescription& d) {
  Writer w;
  std::size_t root = w.Begin(52, 0, "VS_VERSION_INFO");
  w.Dword(0xFEEF04BD);
  w.Dword(0x00010000);
  w.Dword(static_cast<std::uint32_t>(d.fileVersion[0]) << 16 | d.fileVersion[1]);
  w.Dword(static_cast<std::uint32_t>(d.fileVersion[2]) << 16 | d.fileVersion[3]);
  w.Dword(static_cast<std::uint32_t>(d.productVersion[0]) << 16 | d.productVersion[1]);
  w.Dword(static_cast<std::uint32_t>(d.productVersion[2]) << 16 | d.productVersion[3]);
  w.Dword(0x3F);     // flags mask
  w.Dword(0);        // flags
  w.Dword(0x40004);  // VOS_NT_WINDOWS32
  w.Dword(1);        // VFT_APP
  w.Dword(0);
  w.Dword(0);
  w.Dword(0);
  std::size_t sfi = w.Begin(0, 1, "StringFileInfo");
  for (const VersionTranslation& t : d.translations) {
    char key[9];
    std::snprintf(key, sizeof key, "%04X%04X", t.language, t.codePage);
    std::size_t table = w.Begin(0, 1, key);
    for (const auto& [name, value] : t.strings) {
      std::u16string v = Utf8ToUtf16(value);
      std::size_t s = w.Begin(static_cast<std::uint16_t>(v.size() + 1), 1, name);
      w.Text(v);
      w.End(s);
    }
    w.End(table);
  }
  w.End(sfi);
  std::size_t vfi = w.Begin(0, 1, "VarFileInfo");
  std::size_t var =
      w.Begin(static_cast<std::uint16_t>(4 * d.translations.size()), 0, "Translation");
  for (const VersionTranslation& t : d.translations) {
    w.Word(t.language);
    w.Word(t.codePage);
  }
  w.End(var);
  w.End(vfi);
  w.End(root);
  return w.bytes;
}

bool ParseVersion(const char* s, std::uint16_t out[4]) {
  return std::sscanf(s, "%hu.%hu.%hu.%hu", &out[0], &out[1], &out[2], &out[3]) == 4;
}

bool IsTranslation(const std::string& s) {
  return s.size() == 8 && s.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(
        stderr,
        "usage: verres OUT.cc SECTION PRODUCT_VERSION FILE_VERSION [LANGCP NAME=VALUE...]...\n");
    return 2;
  }
  VersionDescription d;
  if (!ParseVersion(argv[3], d.productVersion) || !ParseVersion(argv[4], d.fileVersion)) {
    std::fprintf(stderr, "verres: versions are written a.b.c.d\n");
    return 2;
  }
  for (int i = 5; i < argc; ++i) {
    std::string a = argv[i];
    if (IsTranslation(a)) {
      unsigned long v = std::strtoul(a.c_str(), nullptr, 16);
      VersionTranslation t;
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
  std::vector<std::uint8_t> bytes = BuildVersionResource(d);
  std::ofstream out(argv[1]);
  out << "// Generated at build time; do not edit.\n"
      << "__attribute__((section(\"" << argv[2] << "\"), used))\n"
      << "extern const unsigned char kVersionResource[] = {";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out << (i % 16 ? " " : "\n    ") << static_cast<unsigned>(bytes[i]) << ',';
  }
  out << "\n};\n";
  return out ? 0 : 1;
}
