// What the first pass over an article's body learns, piece by piece: its
// character set, and a digest that tells whether the second pass reads the
// same bytes. Both are the same however the body is cut into pieces.
#pragma once

#include <cstddef>
#include <cstdint>

// Not a guard against a forger, only against an editor saving the file
// between the two passes.
class TBodyDigest {
 public:
  void Update(const char* data, std::size_t size);
  std::uint64_t Value() const;

 private:
  // Two running sums over 64-bit words: the first sees any changed word,
  // the second also words that changed places. Kept for four interleaved
  // lanes (word k in lane k mod 4), so that the additions do not wait on
  // each other and the digest costs next to nothing beside the read.
  static constexpr std::size_t kLanes = 4;
  static constexpr std::size_t kChunk = 8 * kLanes;
  void AddChunk(const char* chunk);

  std::uint64_t FSum[kLanes] = {};
  std::uint64_t FSumOfSums[kLanes] = {};
  char FPending[kChunk] = {};
  std::size_t FPendingBytes = 0;
  std::uint64_t FLength = 0;
};

// UTF-8 for well-formed UTF-8 with a byte above 127 (no overlong forms,
// surrogates or code points past U+10FFFF: strict readers refuse them),
// otherwise Windows-1250.
class TCharsetScan {
 public:
  void Feed(const char* data, std::size_t size);
  bool Utf8() const { return FEightBit && FValid && FCarryLength == 0; }
  // Whether the body begins with a UTF-8 byte-order mark.
  bool StartsWithBom() const;

 private:
  bool FEightBit = false;
  bool FValid = true;
  // A character cut by the end of a piece: its bytes so far and its length.
  unsigned char FCarry[4] = {};
  std::size_t FCarryLength = 0;
  std::size_t FNeed = 0;
  char FFirst[3] = {};
  std::size_t FFirstLength = 0;
};
