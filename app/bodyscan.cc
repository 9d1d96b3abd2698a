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
// Scans 16 bytes at a time from u[i], a character's start, while they are
// ASCII, two- and three-byte characters (all of Polish, and the dashes and
// quotes around it) and well formed; returns where it stopped, at a
// character's start, for the rest to be looked at byte by byte. Bit k of
// each mask is byte k, so the byte after byte k is bit k + 1; what a
// chunk's last characters still want goes into the next as `carry`, and
// chunks follow each other at a fixed step, without waiting on each other.
// SSE2 is in every 64-bit x86 processor; a 32-bit build asks the
// processor first.
__attribute__((target("sse2"))) std::size_t TextChunks(const unsigned char* u, std::size_t i,
                                                       std::size_t size, bool& eightBit) {
  const __m128i c0 = _mm_set1_epi8(static_cast<char>(0xC0));
  const __m128i e0 = _mm_set1_epi8(static_cast<char>(0xE0));
  const __m128i f0 = _mm_set1_epi8(static_cast<char>(0xF0));
  const __m128i fe = _mm_set1_epi8(static_cast<char>(0xFE));
  const __m128i ed = _mm_set1_epi8(static_cast<char>(0xED));
  unsigned carry = 0, back = 0, anyHigh = 0;
  for (; i + 16 <= size; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i));
    const auto high = static_cast<unsigned>(_mm_movemask_epi8(v));
    if ((high | carry) == 0) continue;
    anyHigh |= high;
    // As signed bytes, continuations (80 to BF) are those below C0.
    const auto continuation = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, c0)));
    const auto lead2 =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(v, e0), c0)));
    const auto lead3 =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(v, f0), e0)));
    // C0 and C1 begin only overlong forms; E0 and ED begin characters
    // whose second byte has limits of its own (overlong forms,
    // surrogates). None is in Polish text: they go the long way.
    const __m128i special =
        _mm_or_si128(_mm_cmpeq_epi8(_mm_and_si128(v, fe), c0),
                     _mm_or_si128(_mm_cmpeq_epi8(v, e0), _mm_cmpeq_epi8(v, ed)));
    const unsigned wanted = lead2 << 1 | lead3 << 1 | lead3 << 2;
    // A four-byte lead or a byte that begins nothing is in `high` alone.
    if ((continuation | lead2 | lead3) != high || _mm_movemask_epi8(special) != 0 ||
        continuation != ((wanted & 0xFFFF) | carry))
      break;
    carry = wanted >> 16;
    back = (lead3 & 0x4000) != 0 ? 2 : carry != 0 ? 1 : 0;
  }
  eightBit = eightBit || anyHigh != 0;
  return i - back;
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
std::size_t TextChunks(const unsigned char*, std::size_t i, std::size_t, bool&) { return i; }
bool ChunksAtATime() { return false; }
#endif

}  // namespace

// ---- digest ---------------------------------------------------------------------------

void TBodyDigest::AddChunk(const char* chunk) {
  for (std::size_t lane = 0; lane < kLanes; ++lane) {
    std::uint64_t word;
    std::memcpy(&word, chunk + 8 * lane, 8);
    FSum[lane] += word;
    FSumOfSums[lane] += FSum[lane];
  }
}

void TBodyDigest::Update(const char* data, std::size_t size) {
  FLength += size;
  if (FPendingBytes != 0) {
    const std::size_t take = std::min(kChunk - FPendingBytes, size);
    std::memcpy(FPending + FPendingBytes, data, take);
    FPendingBytes += take;
    data += take;
    size -= take;
    if (FPendingBytes < kChunk) return;
    AddChunk(FPending);
    FPendingBytes = 0;
  }
  // In locals: the bytes are chars, which could alias the members, and
  // the sums would go through memory at every word.
  std::uint64_t s0 = FSum[0], s1 = FSum[1], s2 = FSum[2], s3 = FSum[3];
  std::uint64_t t0 = FSumOfSums[0], t1 = FSumOfSums[1], t2 = FSumOfSums[2], t3 = FSumOfSums[3];
  for (; size >= kChunk; data += kChunk, size -= kChunk) {
    std::uint64_t w[kLanes];
    std::memcpy(w, data, kChunk);
    t0 += s0 += w[0];
    t1 += s1 += w[1];
    t2 += s2 += w[2];
    t3 += s3 += w[3];
  }
  FSum[0] = s0, FSum[1] = s1, FSum[2] = s2, FSum[3] = s3;
  FSumOfSums[0] = t0, FSumOfSums[1] = t1, FSumOfSums[2] = t2, FSumOfSums[3] = t3;
  std::memcpy(FPending, data, size);
  FPendingBytes = size;
}

std::uint64_t TBodyDigest::Value() const {
  std::uint64_t h = 0x243F6A8885A308D3ull;
  for (std::size_t lane = 0; lane < kLanes; ++lane)
    h = Mixed(Mixed(h, FSum[lane]), FSumOfSums[lane]);
  std::uint64_t word = 0;
  for (std::size_t k = 0; k < FPendingBytes; ++k) {
    word = Mixed(word, static_cast<unsigned char>(FPending[k]));
  }
  return Mixed(Mixed(h, word), FLength);
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
      i = TextChunks(u, i, size, FEightBit);
      // Past the chunk that stopped the scan, and the character it cut.
      stop = std::min(size, i + 19);
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
