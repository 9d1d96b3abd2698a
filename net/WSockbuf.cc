#include "net/WSockbuf.h"

#include <algorithm>
#include <cstring>

TBuffer::TBuffer(std::int32_t capacity) { SetCapacity(capacity); }

void TBuffer::SetCapacity(std::int32_t capacity) {
  if (capacity <= 0) capacity = kDefaultBlockSize;
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

void TSendQueue::Append(const void* data, std::int32_t length) {
  if (length <= 0) return;
  // A piece larger than a block is sent from blocks as large as itself
  // (within the limit); anything smaller keeps the usual block size.
  const std::int32_t capacity =
      std::clamp(length, FBlockSize, std::max(FBlockSize, kLargeBlockSize));
  if (FBlocks.empty()) FBlocks.push_back(NewBlock(capacity));
  const char* p = static_cast<const char*>(data);
  for (;;) {
    std::int32_t taken = FBlocks.back()->AppendBytes(p, length);
    if (taken == length) return;
    p += taken;
    length -= taken;
    FBlocks.push_back(NewBlock(capacity));
  }
}

const char* TSendQueue::PeekUnsent(std::int32_t* count) {
  *count = 0;
  while (!FBlocks.empty()) {
    const char* unsent = FBlocks.front()->PeekUnsent(count);
    if (*count > 0 || FBlocks.size() == 1) return unsent;
    // A sent block before a later one: a few are kept for new data.
    if (FSpares.size() < 4) FSpares.push_back(std::move(FBlocks.front()));
    FBlocks.pop_front();
  }
  return nullptr;
}

void TSendQueue::Clear() {
  FBlocks.clear();
  FSpares.clear();
  ++FGeneration;
}

std::unique_ptr<TBuffer> TSendQueue::NewBlock(std::int32_t capacity) {
  if (FSpares.empty()) return std::make_unique<TBuffer>(capacity);
  std::unique_ptr<TBuffer> block = std::move(FSpares.back());
  FSpares.pop_back();
  block->SetCapacity(capacity);
  return block;
}
