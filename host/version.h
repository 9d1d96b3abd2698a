// The product identity, read from the executable's own version resource.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct TProductIdentity {
  std::unique_ptr<unsigned char[]> Block;  // the whole version resource
  std::int32_t BlockSize = 0;
  std::string ProductName;
  std::string ProductUrl;
  std::string LegalCopyright;
  std::uint64_t ProductVersion = 0;
};

// Fills `info` from the executable at `path`; returns whether the version
// block could be read. Whatever cannot be read stays empty or 0.
bool ReadVersionInfo(const std::string& path, TProductIdentity& info);
// Releases the block; harmless when called twice.
void FreeVersionInfo(std::unique_ptr<unsigned char[]>& block, std::int32_t& size);

// "1.02.03.04": the low 8 bits of each 16-bit part, the last three padded.
std::string FormatVersion(std::uint64_t version);
std::string VersionLine(const std::string& productName, std::uint64_t version);
std::string UserAgentText(const std::string& productName, std::uint64_t version);
