// The receiving half of a raw DEFLATE stream (RFC 1951), apart from any
// socket so that it can be fuzzed on its own: compressed input is handed in
// one piece at a time, and output is inflated only into the room a reader
// offers. What it holds is bounded by one piece of input and zlib's window,
// however much that input inflates to.
#pragma once

#include <cstddef>
#include <memory>

class TInflateStream {
 public:
  TInflateStream();
  ~TInflateStream();
  TInflateStream(const TInflateStream&) = delete;
  TInflateStream& operator=(const TInflateStream&) = delete;

  // zlib could set the stream up (memory).
  bool Ready() const { return ready_; }
  // Compressed bytes taken in and not yet inflated.
  std::size_t InputHeld() const { return inputEnd_ - inputStart_; }
  // Room for the next piece of input, `size` bytes: only when none is held.
  char* InputArea(std::size_t size);
  // How many bytes of that room the piece filled.
  void InputArrived(std::size_t size);
  // Inflates into `out` (at most `room` bytes) from the input held: the
  // bytes produced, 0 when the input held gives nothing more yet. With no
  // input held it may still give what the last input left pending. After a
  // fault what came before it is still produced; Corrupt() then tells.
  std::size_t Inflate(char* out, std::size_t room);
  // The input is no DEFLATE stream: nothing more can be inflated.
  bool Corrupt() const { return corrupt_; }
  // The peer ended its stream (a final block): nothing after it is read.
  bool Ended() const { return ended_; }
  // Everything taken in has been inflated up to the end of a block: a
  // stream that stops here stops between blocks, not inside one.
  bool BetweenBlocks() const;

 private:
  struct Zlib;
  std::unique_ptr<Zlib> z_;
  bool ready_ = false;
  // The piece of input, input_[inputStart_..inputEnd_]. Its storage is kept
  // from piece to piece and never cleared: every piece is written over it
  // before it is read, so filling the room first would only cost a pass
  // over it for each piece.
  std::unique_ptr<char[]> input_;
  std::size_t inputRoom_ = 0;
  std::size_t inputStart_ = 0, inputEnd_ = 0;
  bool corrupt_ = false;
  bool ended_ = false;
  bool fed_ = false;  // any input was ever taken in
  // zlib's word (128 in data_type) after the last inflate that moved
  // anything: it stopped waiting for the next block's header.
  bool betweenBlocks_ = true;
};
