// The ceiling for the reading benchmark: a plain blocking reader with no
// event loop, no components and large buffers, doing the same work as
// nntpfetch (GROUP, then XOVER of the whole group or ARTICLE n; lines
// unstuffed and written to standard output with CR LF). It calls the socket
// library's blocking functions straight through the binding, nothing else.
//
//   plain_reader ADDRESS GROUP [NUMBER]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/WSockLib.h"
#include "platform/files.h"
#include "platform/userenv.h"

namespace {

plat::TSocket sock = plat::kInvalidSocket;
char in[256 * 1024];
std::size_t inStart = 0, inEnd = 0;
char out[64 * 1024];
std::size_t outLen = 0;

void Flush() {
  std::size_t at = 0;
  while (at < outLen) {
    std::int32_t n =
        plat::FileWrite(plat::StandardOutput(), out + at, static_cast<std::int32_t>(outLen - at));
    if (n <= 0) std::exit(1);
    at += static_cast<std::size_t>(n);
  }
  outLen = 0;
}

void Out(const char* data, std::size_t n) {
  if (outLen + n > sizeof out) Flush();
  if (n > sizeof out) {
    while (n > 0) {
      std::int32_t w = plat::FileWrite(plat::StandardOutput(), data, static_cast<std::int32_t>(n));
      if (w <= 0) std::exit(1);
      data += w;
      n -= static_cast<std::size_t>(w);
    }
    return;
  }
  std::memcpy(out + outLen, data, n);
  outLen += n;
}

// The next line without CR LF; long lines are gathered in `spill`.
bool ReadLine(std::string& spill, const char*& line, std::size_t& len) {
  spill.clear();
  for (;;) {
    char* start = in + inStart;
    void* lf = std::memchr(start, '\n', inEnd - inStart);
    if (lf != nullptr) {
      std::size_t n = static_cast<std::size_t>(static_cast<char*>(lf) - start) + 1;
      inStart += n;
      if (spill.empty()) {
        line = start;
        len = n >= 2 && start[n - 2] == '\r' ? n - 2 : n - 1;
      } else {
        spill.append(start, n);
        line = spill.data();
        len = spill.size() >= 2 ? spill.size() - 2 : 0;
      }
      return true;
    }
    spill.append(start, inEnd - inStart);
    inStart = inEnd = 0;
    int n = wsock::recv(sock, in, static_cast<int>(sizeof in), 0);
    if (n <= 0) return false;
    inEnd = static_cast<std::size_t>(n);
  }
}

std::string Command(const std::string& text) {
  std::string line = text + "\r\n";
  if (wsock::send(sock, line.data(), static_cast<int>(line.size()), 0) !=
      static_cast<int>(line.size())) {
    std::exit(2);
  }
  std::string spill;
  const char* l;
  std::size_t n;
  if (!ReadLine(spill, l, n)) std::exit(2);
  return std::string(l, n);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 1;
  plat::TWSAData data{};
  if (wsock::WSAStartup(0x0101, &data) != 0) return 2;
  sock = wsock::socket(plat::kAfInet, plat::kSockStream, plat::kIpProtoTcp);
  plat::TSockAddrIn a{};
  a.sin_family = plat::kAfInet;
  a.sin_port = wsock::htons(119);
  a.sin_addr.S_addr = wsock::inet_addr(argv[1]);
  if (wsock::connect(sock, reinterpret_cast<const plat::TSockAddr*>(&a), sizeof a) != 0) return 2;
  std::string spill;
  const char* line;
  std::size_t len;
  if (!ReadLine(spill, line, len)) return 2;
  Command("MODE READER");
  std::string group = Command(std::string("GROUP ") + argv[2]);
  if (group.compare(0, 3, "211") != 0) return 3;
  long count, first, last;
  std::sscanf(group.c_str() + 3, "%ld %ld %ld", &count, &first, &last);
  std::string reply = argc > 3
                          ? Command(std::string("ARTICLE ") + argv[3])
                          : Command("XOVER " + std::to_string(first) + "-" + std::to_string(last));
  if (reply[0] != '2') return 3;
  while (ReadLine(spill, line, len)) {
    if (len == 1 && line[0] == '.') {
      Flush();
      return 0;
    }
    if (len > 0 && line[0] == '.') {
      ++line;
      --len;
    }
    Out(line, len);
    Out("\r\n", 2);
  }
  return 2;
}
