#include "app/bodyscan.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>
#endif

namespace {

std::uint64_t Mixed(std::uint64_t h, std::uint64_t word) {
  h = (h ^ word) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 29);
}

// The bytes of a character that `lead` begins; 0 for a byte that begins
// none, C0 and C1 included (they could only begin overlong forms).
std::size_t LeadLength(unsigned char lead) {
  if (lead >= 0xC2 && lead < 0xE0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if (lead >= 0xF0 && lead < 0xF5) return 4;
  return 0;
}

// Whether the `length` bytes at u, which begin with a lead byte, make one
// character: no overlong forms, no surrogates, nothing past U+10FFFF, as
// strict readers demand.
bool WellFormed(const unsigned char* u, std::size_t length) {
  const unsigned char c = u[0];
  const unsigned char d = u[1];
  if ((d & 0xC0) != 0x80) return false;
  if (length == 2) return true;
  if ((u[2] & 0xC0) != 0x80) return false;
  if (length == 3) return !(c == 0xE0 && d < 0xA0) && !(c == 0xED && d >= 0xA0);
  return (u[3] & 0xC0) == 0x80 && !(c == 0xF0 && d < 0x90) && !(c == 0xF4 && d >= 0x90);
}

#if defined(__x86_64__) || defined(__i386__)
// Where the 16 bytes at u, which begin at a character's start, end their
// last whole character, when they are ASCII, two- and three-byte characters
// (all of Polish, and the dashes and quotes around it) and well formed: 16,
// or the position of the first character that their end cuts. 0 for
// anything else, which is then looked at byte by byte. Bit k of each mask
// is byte k, so the byte after byte k is bit k + 1. SSE2 is in every
// 64-bit x86 processor; a 32-bit build asks the processor first.
__attribute__((target("sse2"))) std::size_t TextChunk(const unsigned char* u, bool& eightBit) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u));
  const auto high = static_cast<unsigned>(_mm_movemask_epi8(v));
  if (high == 0) return 16;
  eightBit = true;
#define KESTRUN_BYTES_WHERE(andMask, equals)                                                \
  static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(                                  \
      _mm_and_si128(v, _mm_set1_epi8(static_cast<char>(andMask))), _mm_set1_epi8(static_cast<char>(equals)))))
  const unsigned continuation = KESTRUN_BYTES_WHERE(0xC0, 0x80);
  const unsigned lead2 = KESTRUN_BYTES_WHERE(0xE0, 0xC0);
  const unsigned lead3 = KESTRUN_BYTES_WHERE(0xF0, 0xE0);
  // A four-byte lead, or a byte that begins nothing.
  if ((continuation | lead2 | lead3) != high) return 0;
  const unsigned overlong2 = KESTRUN_BYTES_WHERE(0xFE, 0xC0);  // C0 and C1
  const unsigned e0 = KESTRUN_BYTES_WHERE(0xFF, 0xE0);
  const unsigned ed = KESTRUN_BYTES_WHERE(0xFF, 0xED);
  const unsigned a0 = KESTRUN_BYTES_WHERE(0x20, 0x20);  // a continuation from A0 up
#undef KESTRUN_BYTES_WHERE
  const unsigned expected = (lead2 << 1 | lead3 << 1 | lead3 << 2) & 0xFFFF;
  // E0 then below A0 is overlong, ED then A0 or more a surrogate.
  if (overlong2 != 0 || continuation != expected || ((e0 << 1) & ~a0 & 0xFFFF) != 0 ||
      ((ed << 1) & a0) != 0)
    return 0;
  const unsigned cut = (lead2 & 0x8000) | (lead3 & 0xC000);
  return cut != 0 ? static_cast<std::size_t>(std::countr_zero(cut)) : 16;
}

bool ChunksAtATime() {
#if defined(__SSE2__)
  return true;
#else
  static const bool sse2 = __builtin_cpu_supports("sse2");
  return sse2;
#endif
}
#else
std::size_t TextChunk(const unsigned char*, bool&) { return 0; }
bool ChunksAtATime() { return false; }
#endif

}  // namespace

// ---- digest ---------------------------------------------------------------------------

void TBodyDigest::Update(const char* data, std::size_t size) {
  FLength += size;
  while (FPendingBytes != 0 && size > 0) {
    FPending |= std::uint64_t{static_cast<unsigned char>(*data++)} << (8 * FPendingBytes);
    --size;
    if (++FPendingBytes == 8) {
      FSum += FPending;
      FSumOfSums += FSum;
      FPending = 0;
      FPendingBytes = 0;
    }
  }
  std::uint64_t sum = FSum;
  std::uint64_t sumOfSums = FSumOfSums;
  for (; size >= 8; data += 8, size -= 8) {
    std::uint64_t word;
    std::memcpy(&word, data, 8);
    sum += word;
    sumOfSums += sum;
  }
  FSum = sum;
  FSumOfSums = sumOfSums;
  for (; size > 0; --size) {
    FPending |= std::uint64_t{static_cast<unsigned char>(*data++)} << (8 * FPendingBytes++);
  }
}

std::uint64_t TBodyDigest::Value() const {
  std::uint64_t h = 0x243F6A8885A308D3ull;
  for (std::uint64_t word : {FSum, FSumOfSums, FPending, FLength}) h = Mixed(h, word);
  return h;
}

// ---- character set ----------------------------------------------------------------------

void TCharsetScan::Feed(const char* data, std::size_t size) {
  if (FFirstLength < sizeof FFirst) {
    std::size_t take = std::min(sizeof FFirst - FFirstLength, size);
    std::memcpy(FFirst + FFirstLength, data, take);
    FFirstLength += take;
  }
  if (!FValid) return;
  const auto* u = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = 0;
  if (FCarryLength > 0) {
    // The rest of a character that the last piece cut.
    i = std::min(FNeed - FCarryLength, size);
    std::memcpy(FCarry + FCarryLength, u, i);
    FCarryLength += i;
    if (FCarryLength < FNeed) return;
    FCarryLength = 0;
    if (!WellFormed(FCarry, FNeed)) {
      FValid = false;
      return;
    }
  }
  while (i < size) {
    // Sixteen bytes at a time while they are text of the usual kind; the
    // rest of a chunk that is not, byte by byte.
    std::size_t stop = size;
    if (ChunksAtATime()) {
      bool eightBit = false;
      for (std::size_t step; i + 16 <= size && (step = TextChunk(u + i, eightBit)) != 0;) i += step;
      FEightBit = FEightBit || eightBit;
      stop = std::min(size, i + 16);
    }
    while (i < stop) {
      const unsigned char c = u[i];
      if (c < 0x80) {
        ++i;
        continue;
      }
      FEightBit = true;
      const std::size_t length = LeadLength(c);
      if (length == 0) {
        FValid = false;
        return;
      }
      if (i + length > size) {
        FNeed = length;
        FCarryLength = size - i;
        std::memcpy(FCarry, u + i, FCarryLength);
        return;
      }
      if (!WellFormed(u + i, length)) {
        FValid = false;
        return;
      }
      i += length;
    }
  }
}

bool TCharsetScan::StartsWithBom() const {
  return FFirstLength == 3 && std::memcmp(FFirst, "\xEF\xBB\xBF", 3) == 0;
}
