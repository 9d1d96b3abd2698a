#include "net/WSockbuf.h"

#include <algorithm>
#include <cstring>

TBuffer::TBuffer(std::int32_t capacity) { SetCapacity(capacity); }

void TBuffer::SetCapacity(std::int32_t capacity) {
  if (capacity <= 0) capacity = 1514;
  if (capacity == FCapacity) return;
  auto area = std::make_unique<char[]>(static_cast<std::size_t>(capacity));
  // A smaller area keeps what fits; the counts are clipped so that the
  // invariant (consumed <= filled <= capacity) holds.
  FFilledCount = std::min(FFilledCount, capacity);
  FConsumedCount = std::min(FConsumedCount, FFilledCount);
  if (FStorage && FFilledCount > 0)
    std::memcpy(area.get(), FStorage.get(), static_cast<std::size_t>(FFilledCount));
  FStorage = std::move(area);
  FCapacity = capacity;
}

std::int32_t TBuffer::AppendBytes(const void* data, std::int32_t length) {
  std::int32_t n = std::min(length, FCapacity - FFilledCount);
  if (n <= 0) return 0;
  std::memcpy(FStorage.get() + FFilledCount, data, static_cast<std::size_t>(n));
  FFilledCount += n;
  return n;
}

const char* TBuffer::PeekUnsent(std::int32_t* count) const {
  *count = FFilledCount - FConsumedCount;
  return *count > 0 ? FStorage.get() + FConsumedCount : nullptr;
}

std::int32_t TBuffer::ConsumeBytes(std::int32_t count) {
  std::int32_t n = std::min(count, FFilledCount - FConsumedCount);
  if (n <= 0) return 0;
  FConsumedCount += n;
  if (FConsumedCount == FFilledCount) FConsumedCount = FFilledCount = 0;
  return n;
}
