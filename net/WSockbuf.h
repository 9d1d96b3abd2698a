// The send buffer of a socket: TBuffer, one block of queued output, and
// TSendQueue, the chain of blocks that a socket sends from.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "rtl/classes.h"

// The capacity of a block unless another is asked for: the size of an
// Ethernet frame.
constexpr std::int32_t kDefaultBlockSize = 1514;

class TBuffer : public TObject {
 public:
  explicit TBuffer(std::int32_t capacity);

  // 0 or less means kDefaultBlockSize. Unsent data survives a change of capacity.
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

// Outgoing data of one socket, oldest first, copied once into blocks of
// BlockSize bytes. New data fills the free space of the last block before a
// block is added. A single piece of data larger than BlockSize gets blocks
// of its own size, up to kLargeBlockSize: a sender that writes large pieces
// (an article going out) then reaches the network in large writes, not one
// call per Ethernet frame, while small sends keep their small blocks. The chain grows at
// its end and shrinks at its head: a head block whose bytes have all gone
// is dropped once a later block holds data, and the last block stays, empty,
// for the next data. Dropped blocks are kept (a few) and filled again, so
// that steady streaming does not allocate for every send.
class TSendQueue {
 public:
  static constexpr std::int32_t kLargeBlockSize = 64 * 1024;

  explicit TSendQueue(std::int32_t blockSize = kDefaultBlockSize) : FBlockSize(blockSize) {}

  std::int32_t BlockSize() const { return FBlockSize; }
  // No block at all: nothing was queued since the queue was made or cleared.
  bool Empty() const { return FBlocks.empty(); }
  const std::list<std::unique_ptr<TBuffer>>& Blocks() const { return FBlocks; }
  // Changes with every Clear. A sender that runs code which may clear the
  // queue (an event handler) compares it before and after: if it changed,
  // the block it was sending from is gone.
  std::uint32_t Generation() const { return FGeneration; }

  // Queues a copy of the bytes; nothing for a length of 0 or less.
  void Append(const void* data, std::int32_t length);
  // The unsent bytes of the oldest block that has any, dropping the sent
  // blocks before it; null and 0 when everything queued has gone.
  const char* PeekUnsent(std::int32_t* count);
  // Marks `count` bytes of those that PeekUnsent returned as sent.
  void Consume(std::int32_t count) { FBlocks.front()->ConsumeBytes(count); }
  // Frees every block; queued data that was not sent is dropped.
  void Clear();

 private:
  std::unique_ptr<TBuffer> NewBlock(std::int32_t capacity);

  std::int32_t FBlockSize;
  std::list<std::unique_ptr<TBuffer>> FBlocks;
  std::vector<std::unique_ptr<TBuffer>> FSpares;
  std::uint32_t FGeneration = 0;
};
