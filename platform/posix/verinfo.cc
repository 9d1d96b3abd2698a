#include "platform/verinfo.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "platform/codepage.h"
#include "platform/posix/versionres.h"

namespace plat {
namespace {

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
    if (std::strcmp(&strtab[s.sh_name], posix::kVersionSection) != 0) continue;
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
  long at = posix::FindVersionValue(base, size, subBlock, &valueLength, &text);
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
