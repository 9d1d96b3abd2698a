// The ceiling for the reading benchmark: a plain blocking reader with no
// event loop, no components and large buffers, doing the same work as
// nntpfetch (GROUP, then XOVER of the whole group or ARTICLE n; lines
// unstuffed and written to standard output with CR LF). It calls the socket
// library's blocking functions straight through the binding, nothing else.
// With --tls it speaks NNTPS (port 563) through the TLS engine alone, the
// ceiling for reading over TLS. With --compress it asks COMPRESS DEFLATE
// after MODE READER and inflates the rest with zlib, the ceiling for a
// compressed read.
//
//   plain_reader [--tls CAFILE] [--compress] ADDRESS GROUP [NUMBER]
//
// GROUP "-" only opens the session (greeting, then QUIT): what a session
// costs before any work, the floor under every short run.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "net/WSockLib.h"
#include "platform/files.h"
#include "platform/tls.h"
#include "platform/userenv.h"

namespace {

plat::TSocket sock = plat::kInvalidSocket;
char in[256 * 1024];
std::size_t inStart = 0, inEnd = 0;
char out[64 * 1024];
std::size_t outLen = 0;
// TLS: the engine, and decrypted bytes not yet taken (from plainAt on).
std::unique_ptr<plat::TlsClient> tls;
std::string plain;
std::size_t plainAt = 0;
char raw[256 * 1024];
// COMPRESS DEFLATE: both streams, and compressed input not yet inflated.
bool compressing = false;
z_stream inflater{}, deflater{};
char packed[256 * 1024];

bool SendRaw(const char* data, std::size_t size) {
  while (size > 0) {
    int n = wsock::send(sock, data, static_cast<int>(size), 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// One raw read through the engine: false at the end or on an error.
bool PullTls() {
  int n = wsock::recv(sock, raw, static_cast<int>(sizeof raw), 0);
  if (n <= 0) return false;
  // As the component does: no delayed acknowledgement to hold up a
  // server's small writes.
  plat::AckPromptly(sock);
  if (plainAt == plain.size()) {
    plain.clear();
    plainAt = 0;
  }
  std::string out;
  if (tls->Receive(raw, static_cast<std::size_t>(n), out, plain) != 0) return false;
  return SendRaw(out.data(), out.size());
}

int RecvBelow(char* buffer, int size);

// recv through inflate when compressing.
int Recv(char* buffer, int size) {
  if (!compressing) return RecvBelow(buffer, size);
  for (;;) {
    inflater.next_out = reinterpret_cast<Bytef*>(buffer);
    inflater.avail_out = static_cast<uInt>(size);
    {
      int rc = inflate(&inflater, Z_SYNC_FLUSH);
      if (rc != Z_OK && rc != Z_BUF_ERROR) return 0;
      int n = size - static_cast<int>(inflater.avail_out);
      if (n > 0) return n;
    }
    int got = RecvBelow(packed, static_cast<int>(sizeof packed));
    if (got <= 0) return 0;
    inflater.next_in = reinterpret_cast<Bytef*>(packed);
    inflater.avail_in = static_cast<uInt>(got);
  }
}

// recv and send, through TLS when it is on.
int RecvBelow(char* buffer, int size) {
  if (!tls) return wsock::recv(sock, buffer, size, 0);
  while (plainAt == plain.size()) {
    if (!PullTls()) return 0;
  }
  std::size_t n = std::min(static_cast<std::size_t>(size), plain.size() - plainAt);
  std::memcpy(buffer, plain.data() + plainAt, n);
  plainAt += n;
  return static_cast<int>(n);
}

bool SendBelow(const std::string& text) {
  if (!tls) return SendRaw(text.data(), text.size());
  std::string out;
  return tls->Send(text.data(), text.size(), out) == 0 && SendRaw(out.data(), out.size());
}

bool Send(const std::string& text) {
  if (!compressing) return SendBelow(text);
  char chunk[4096];
  deflater.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  deflater.avail_in = static_cast<uInt>(text.size());
  std::string out;
  do {
    deflater.next_out = reinterpret_cast<Bytef*>(chunk);
    deflater.avail_out = sizeof chunk;
    deflate(&deflater, Z_SYNC_FLUSH);
    out.append(chunk, sizeof chunk - deflater.avail_out);
  } while (deflater.avail_out == 0);
  return SendBelow(out);
}

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
    int n = Recv(in, static_cast<int>(sizeof in));
    if (n <= 0) return false;
    inEnd = static_cast<std::size_t>(n);
  }
}

std::string Command(const std::string& text) {
  std::string line = text + "\r\n";
  if (!Send(line)) std::exit(2);
  std::string spill;
  const char* l;
  std::size_t n;
  if (!ReadLine(spill, l, n)) std::exit(2);
  return std::string(l, n);
}

}  // namespace

int main(int argc, char** argv) {
  std::string caFile;
  bool useTls = argc > 2 && std::strcmp(argv[1], "--tls") == 0;
  if (useTls) {
    caFile = argv[2];
    argv += 2;
    argc -= 2;
  }
  bool useCompress = argc > 1 && std::strcmp(argv[1], "--compress") == 0;
  if (useCompress) {
    ++argv;
    --argc;
  }
  if (argc < 3) return 1;
  plat::TWSAData data{};
  if (wsock::WSAStartup(0x0101, &data) != 0) return 2;
  sock = wsock::socket(plat::kAfInet, plat::kSockStream, plat::kIpProtoTcp);
  plat::TSockAddrIn a{};
  a.sin_family = plat::kAfInet;
  a.sin_port = wsock::htons(useTls ? 563 : 119);
  a.sin_addr.S_addr = wsock::inet_addr(argv[1]);
  if (wsock::connect(sock, reinterpret_cast<const plat::TSockAddr*>(&a), sizeof a) != 0) return 2;
  if (useTls) {
    tls = plat::NewTlsClient({argv[1], caFile, {}});
    std::string hello;
    if (tls->Start(hello) != 0 || !SendRaw(hello.data(), hello.size())) return 2;
    while (!tls->Established()) {
      if (!PullTls()) return 2;
    }
  }
  std::string spill;
  const char* line;
  std::size_t len;
  if (!ReadLine(spill, line, len)) return 2;
  if (std::strcmp(argv[2], "-") == 0) return Command("QUIT").compare(0, 3, "205") == 0 ? 0 : 3;
  Command("MODE READER");
  if (useCompress) {
    if (Command("COMPRESS DEFLATE").compare(0, 3, "206") != 0) return 3;
    // Nothing of the server's follows the 206 before the next command.
    inStart = inEnd = 0;
    if (inflateInit2(&inflater, -15) != Z_OK ||
        deflateInit2(&deflater, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      return 2;
    compressing = true;
  }
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
