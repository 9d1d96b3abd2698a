#include "platform/posix/versionres.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/codepage.h"

namespace plat::posix {
namespace {

std::u16string Utf8ToUtf16(const std::string& s) {
  int n = MultiByteToWide(kCpUtf8, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::u16string out(static_cast<std::size_t>(n > 0 ? n : 0), u'\0');
  if (n > 0) MultiByteToWide(kCpUtf8, s.data(), static_cast<int>(s.size()), out.data(), n);
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

std::uint16_t Word(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

struct Node {
  std::size_t start = 0, end = 0, value = 0, children = 0;
  std::uint16_t valueLength = 0, type = 0;
  std::string key;  // ASCII folded to upper case
};

bool ReadNode(const std::uint8_t* r, std::size_t limit, std::size_t at, Node* n) {
  if (at + 6 > limit) return false;
  std::uint16_t length = Word(r + at);
  if (length < 6 || at + length > limit) return false;
  n->start = at;
  n->end = at + length;
  n->valueLength = Word(r + at + 2);
  n->type = Word(r + at + 4);
  n->key.clear();
  std::size_t p = at + 6;
  for (; p + 1 < n->end; p += 2) {
    std::uint16_t c = Word(r + p);
    if (c == 0) break;
    n->key.push_back(c < 128 ? static_cast<char>(std::toupper(c)) : '\x7F');
  }
  p += 2;
  n->value = (p + 3) & ~std::size_t{3};
  std::size_t valueBytes = n->type == 1 ? n->valueLength * 2u : n->valueLength;
  n->children = (n->value + valueBytes + 3) & ~std::size_t{3};
  return n->value + valueBytes <= n->end;
}

}  // namespace

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

long FindVersionValue(const std::uint8_t* r, std::size_t size, const char* path,
                      std::uint32_t* valueLength, bool* text) {
  Node node;
  if (!ReadNode(r, size, 0, &node)) return -1;
  const char* p = path;
  for (;;) {
    while (*p == '\\') ++p;
    if (*p == 0) break;
    const char* e = p;
    while (*e && *e != '\\') ++e;
    std::string want;
    for (const char* q = p; q < e; ++q)
      want.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*q))));
    bool found = false;
    Node child;
    for (std::size_t at = node.children; at < node.end; at = (child.end + 3) & ~std::size_t{3}) {
      if (!ReadNode(r, node.end, at, &child)) return -1;
      if (child.key == want) {
        found = true;
        break;
      }
    }
    if (!found) return -1;
    node = child;
    p = e;
  }
  *valueLength = node.valueLength;
  *text = node.type == 1;
  return static_cast<long>(node.value);
}

}  // namespace plat::posix
