// Reading the version resource of an executable file, in the manner of the
// Windows version-information interface.
#pragma once

#include <cstdint>

namespace plat {

// Size of the block that VersionInfoRead needs; 0 when the file has none.
std::uint32_t VersionInfoSize(const char* path);
bool VersionInfoRead(const char* path, std::uint32_t size, void* block);
// Looks up "\\", "\\VarFileInfo\\Translation" or
// "\\StringFileInfo\\<lang><cp>\\<name>" in a block; strings come back as
// zero-terminated ANSI text inside the block.
bool VersionInfoQuery(const void* block, const char* subBlock, void** value, std::uint32_t* length);

}  // namespace plat
