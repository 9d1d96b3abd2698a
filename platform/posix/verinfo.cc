#include "platform/verinfo.h"

#include <elf.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/codepage.h"

namespace plat {
namespace {

// The resource is the Windows VS_VERSIONINFO block (Unicode form), stored
// by the build in its own ELF section of the executable (tools/verres); its
// name comes from the build, which gives the same name to the tool.
constexpr const char* kVersionSection = KESTRUN_VERSION_SECTION;

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

// Finds a value in a resource of `size` bytes. Returns the offset of the
// value and sets `text` when it is a UTF-16 string; -1 when not found.
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

template <typename Ehdr, typename Shdr>
bool FindSection(std::ifstream& f, std::vector<std::uint8_t>* out) {
  Ehdr eh;
  f.seekg(0);
  if (!f.read(reinterpret_cast<char*>(&eh), sizeof eh)) return false;
  if (eh.e_shoff == 0 || eh.e_shentsize != sizeof(Shdr) || eh.e_shstrndx >= eh.e_shnum)
    return false;
  std::vector<Shdr> sections(eh.e_shnum);
  f.seekg(static_cast<std::streamoff>(eh.e_shoff));
  if (!f.read(reinterpret_cast<char*>(sections.data()), sizeof(Shdr) * sections.size()))
    return false;
  const Shdr& names = sections[eh.e_shstrndx];
  std::vector<char> strtab(names.sh_size + 1, 0);
  f.seekg(static_cast<std::streamoff>(names.sh_offset));
  if (!f.read(strtab.data(), static_cast<std::streamsize>(names.sh_size))) return false;
  for (const Shdr& s : sections) {
    if (s.sh_name >= names.sh_size || s.sh_type == SHT_NOBITS) continue;
    if (std::strcmp(&strtab[s.sh_name], kVersionSection) != 0) continue;
    if (s.sh_size < 6 || s.sh_size > 65535) return false;
    out->resize(s.sh_size);
    f.seekg(static_cast<std::streamoff>(s.sh_offset));
    return static_cast<bool>(
        f.read(reinterpret_cast<char*>(out->data()), static_cast<std::streamsize>(s.sh_size)));
  }
  return false;
}

// The resource exactly as the executable carries it, or nothing.
std::vector<std::uint8_t> LoadResource(const char* path) {
  std::vector<std::uint8_t> res;
  std::ifstream f(path, std::ios::binary);
  unsigned char ident[EI_NIDENT];
  if (!f.read(reinterpret_cast<char*>(ident), sizeof ident)) return res;
  if (std::memcmp(ident, ELFMAG, SELFMAG) != 0) return res;
  bool ok = ident[EI_CLASS] == ELFCLASS64 ? FindSection<Elf64_Ehdr, Elf64_Shdr>(f, &res)
                                          : FindSection<Elf32_Ehdr, Elf32_Shdr>(f, &res);
  if (!ok) res.clear();
  return res;
}

std::size_t ResourceSize(const std::uint8_t* block) {
  return static_cast<std::size_t>(block[0] | block[1] << 8);
}

}  // namespace

// The block is the resource followed by room of the same size, into which
// string values are converted to ANSI text on demand, as Windows does.
std::uint32_t VersionInfoSize(const char* path) {
  std::vector<std::uint8_t> res = LoadResource(path);
  return res.empty() ? 0 : static_cast<std::uint32_t>(res.size() * 2 + 4);
}

bool VersionInfoRead(const char* path, std::uint32_t size, void* block) {
  std::vector<std::uint8_t> res = LoadResource(path);
  if (res.empty() || res.size() * 2 + 4 > size) return false;
  std::memset(block, 0, size);
  std::memcpy(block, res.data(), res.size());
  return ResourceSize(res.data()) <= res.size();
}

bool VersionInfoQuery(const void* block, const char* subBlock, void** value,
                      std::uint32_t* length) {
  auto* base = static_cast<std::uint8_t*>(const_cast<void*>(block));
  std::size_t size = ResourceSize(base);
  std::uint32_t valueLength = 0;
  bool text = false;
  long at = FindVersionValue(base, size, subBlock, &valueLength, &text);
  if (at < 0) return false;
  if (!text) {
    *value = base + at;
    *length = valueLength;
    return true;
  }
  std::vector<char16_t> wide(valueLength + 1, 0);
  std::memcpy(wide.data(), base + at, valueLength * 2u);
  int units = 0;
  while (units < static_cast<int>(valueLength) && wide[units] != 0) ++units;
  char* ansi = reinterpret_cast<char*>(base + ((size + 3) & ~std::size_t{3}) + at / 2);
  int n = units == 0 ? 0 : WideToMultiByte(kCpAcp, wide.data(), units, ansi, units);
  ansi[n] = 0;
  *value = ansi;
  *length = static_cast<std::uint32_t>(n + 1);
  return true;
}

}  // namespace plat
