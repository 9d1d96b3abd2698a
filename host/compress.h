// When the programs compress a connection (COMPRESS DEFLATE).
//
// Compression pays where the link is slower than the server deflates, and
// costs a round trip and processor time everywhere; on a loopback address
// it only slows things down. So by default it is used only for a server
// that is not on this machine, and KESTRUN_COMPRESS forces the choice: "1"
// whenever the server offers it, "0" never.
#pragma once

#include <cstdint>
#include <string>

constexpr const char* kCompressVariable = "KESTRUN_COMPRESS";

enum class TCompressSetting : std::uint8_t { Auto, On, Off };

TCompressSetting CompressFromEnvironment();

// Whether `address` (an IPv4 or IPv6 address, as a socket reports its
// peer) is on this machine: 127.0.0.0/8, ::1, or 127.0.0.0/8 mapped into
// IPv6.
bool LoopbackAddress(const std::string& address);

// Whether a connection to `peerAddress` is compressed, by default wanting
// it when `worthIt` (an article large enough, say) and the peer is not on
// this machine.
bool CompressWanted(const std::string& peerAddress, bool worthIt);
