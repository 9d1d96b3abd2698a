// What the fuzz targets share: a check that ends the run on a broken
// property (libFuzzer then keeps the input), and chunk sizes taken from the
// input itself, so that one input also fixes how it is split into reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

inline void Require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

// A small generator of chunk sizes from 1 to `largest`, seeded by the input.
class ChunkSizes {
 public:
  ChunkSizes(std::uint8_t seed, std::size_t largest)
      : state_(seed * 2654435761u + 1), largest_(largest) {}
  std::size_t Next() {
    state_ = state_ * 1103515245u + 12345u;
    // Mostly small reads, now and then a large one.
    std::size_t limit = (state_ >> 16) % 4 == 0 ? largest_ : 17;
    return 1 + (state_ >> 8) % limit;
  }

 private:
  std::uint32_t state_;
  std::size_t largest_;
};
