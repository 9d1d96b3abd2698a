// Fuzz target: the inflating side of the compression layer against zlib
// inflating the same bytes in one go.
//
// Input: a seed byte for the sizes, then what a peer sends as its
// compressed stream. Fed in pieces and read into rooms whose sizes come
// from the seed, the stream must give exactly the bytes (and the same
// fault, or end) that one inflate of the whole input gives; what it holds
// is never more than one piece of input, however much that inflates to.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "net/InflateStream.h"

namespace {

// The most a run inflates, so that a stream of long runs stays quick.
constexpr std::size_t kMostOutput = 1 << 20;

struct Outcome {
  std::string text;
  bool corrupt = false, ended = false;
};

Outcome Reference(const std::uint8_t* data, std::size_t size) {
  Outcome o;
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) std::abort();
  o.text.resize(kMostOutput);
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = reinterpret_cast<Bytef*>(o.text.data());
  z.avail_out = static_cast<uInt>(o.text.size());
  int rc = inflate(&z, Z_SYNC_FLUSH);
  o.text.resize(o.text.size() - z.avail_out);
  o.ended = rc == Z_STREAM_END;
  o.corrupt = rc != Z_OK && rc != Z_BUF_ERROR && rc != Z_STREAM_END;
  inflateEnd(&z);
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  ChunkSizes pieces(data[0], 4096), rooms(static_cast<std::uint8_t>(data[0] ^ 0x5a), 65536);
  ++data;
  --size;
  const Outcome expected = Reference(data, size);
  TInflateStream stream;
  Require(stream.Ready(), "the stream is set up");
  std::string got;
  std::string room;
  std::size_t at = 0;
  while (got.size() < kMostOutput && !stream.Corrupt() && !stream.Ended()) {
    room.resize(std::min(rooms.Next(), kMostOutput - got.size()));
    std::size_t n = stream.Inflate(room.data(), room.size());
    Require(n <= room.size(), "no more than the room");
    Require(stream.InputHeld() <= 4096, "at most one piece held");
    got.append(room.data(), n);
    if (n == 0 && stream.InputHeld() == 0) {
      if (at == size) break;
      std::size_t piece = std::min(pieces.Next(), size - at);
      char* area = stream.InputArea(piece);
      std::memcpy(area, data + at, piece);
      stream.InputArrived(piece);
      at += piece;
    }
  }
  if (expected.text.size() < kMostOutput) {
    Require(got == expected.text, "the same bytes as one inflate of the whole");
    Require(stream.Corrupt() == expected.corrupt, "a fault where one inflate finds it");
    Require(stream.Ended() == expected.ended, "the end where one inflate finds it");
  } else {
    Require(got.compare(0, got.size(), expected.text, 0, got.size()) == 0,
            "the same bytes as one inflate of the whole");
  }
  return 0;
}
