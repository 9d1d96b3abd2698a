// One block of queued outgoing data.
#pragma once

#include <cstdint>
#include <memory>

#include "rtl/classes.h"

class TBuffer : public TObject {
 public:
  explicit TBuffer(std::int32_t capacity);

  // 0 or less means 1514. Unsent data survives a change of capacity.
  void SetCapacity(std::int32_t capacity);
  // Copies what fits after the filled part; returns the bytes taken.
  std::int32_t AppendBytes(const void* data, std::int32_t length);
  // The unsent bytes; null and 0 when there are none.
  const char* PeekUnsent(std::int32_t* count) const;
  // Marks up to `count` unsent bytes as sent; the block rewinds once empty.
  std::int32_t ConsumeBytes(std::int32_t count);

  std::int32_t Capacity() const { return FCapacity; }
  std::int32_t FilledCount() const { return FFilledCount; }
  std::int32_t ConsumedCount() const { return FConsumedCount; }

 private:
  std::unique_ptr<char[]> FStorage;
  std::int32_t FCapacity = 0;
  std::int32_t FFilledCount = 0;
  std::int32_t FConsumedCount = 0;
};
