// The Windows version-resource format (VS_VERSIONINFO, Unicode form), built
// and searched on POSIX so that the Linux program carries exactly the bytes
// that the Windows program carries in its resources.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace plat::posix {

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

std::vector<std::uint8_t> BuildVersionResource(const VersionDescription& description);

// Finds a value in a resource of `size` bytes. Returns the offset of the
// value and sets `text` when it is a UTF-16 string; -1 when not found.
long FindVersionValue(const std::uint8_t* resource, std::size_t size, const char* path,
                      std::uint32_t* valueLength, bool* text);

// Name of the ELF section that holds the resource in the Linux program.
constexpr const char* kVersionSection = ".versioninfo";

}  // namespace plat::posix
