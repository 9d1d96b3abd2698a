#include "host/version.h"

#include <cstring>

#include "platform/verinfo.h"
#include "rtl/sysutils.h"

namespace {

std::string QueryText(const void* block, const std::string& path) {
  void* value = nullptr;
  std::uint32_t length = 0;
  if (!plat::VersionInfoQuery(block, path.c_str(), &value, &length) || value == nullptr) return "";
  return static_cast<const char*>(value);
}

}  // namespace

bool ReadVersionInfo(const std::string& path, TProductIdentity& info) {
  info.BlockSize = static_cast<std::int32_t>(plat::VersionInfoSize(path.c_str()));
  if (info.BlockSize > 0)
    info.Block = std::make_unique<unsigned char[]>(static_cast<std::size_t>(info.BlockSize));
  info.ProductVersion = 0;
  info.ProductName.clear();
  info.ProductUrl.clear();
  info.LegalCopyright.clear();
  bool ok = info.BlockSize > 0 &&
            plat::VersionInfoRead(path.c_str(), static_cast<std::uint32_t>(info.BlockSize),
                                  info.Block.get());
  if (!ok) return false;

  void* value = nullptr;
  std::uint32_t length = 0;
  if (plat::VersionInfoQuery(info.Block.get(), "\\", &value, &length) && length >= 52) {
    std::uint32_t ms, ls;  // dwProductVersionMS and LS follow signature, struct and file versions
    std::memcpy(&ms, static_cast<const char*>(value) + 16, 4);
    std::memcpy(&ls, static_cast<const char*>(value) + 20, 4);
    info.ProductVersion = static_cast<std::uint64_t>(ms) << 32 | ls;
  }
  if (plat::VersionInfoQuery(info.Block.get(), "\\VarFileInfo\\Translation", &value, &length) &&
      length >= 4) {
    std::uint16_t pair[2];
    std::memcpy(pair, value, 4);
    std::string base = "\\StringFileInfo\\" + Format("%04X%04X", pair[0], pair[1]);
    info.ProductName = QueryText(info.Block.get(), base + "\\ProductName");
    info.ProductUrl = QueryText(info.Block.get(), base + "\\ProductUrl");
    info.LegalCopyright = QueryText(info.Block.get(), base + "\\LegalCopyright");
  }
  return true;
}

void FreeVersionInfo(std::unique_ptr<unsigned char[]>& block, std::int32_t& size) {
  if (size > 0) block.reset();
  size = 0;
}

std::string FormatVersion(std::uint64_t version) {
  auto h = static_cast<std::uint32_t>(version >> 32);
  auto l = static_cast<std::uint32_t>(version);
  return Format("%d.%.2d.%.2d.%.2d", (h >> 16) & 0xFF, h & 0xFF, (l >> 16) & 0xFF, l & 0xFF);
}

std::string VersionLine(const std::string& productName, std::uint64_t version) {
  return Format("%s wersja %s", productName.c_str(), FormatVersion(version).c_str());
}

std::string UserAgentText(const std::string& productName, std::uint64_t version) {
  return Format("%s/%s", productName.c_str(), FormatVersion(version).c_str());
}
