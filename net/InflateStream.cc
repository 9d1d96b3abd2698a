#include "net/InflateStream.h"

#include <zlib.h>

struct TInflateStream::Zlib {
  z_stream stream{};
};

TInflateStream::TInflateStream() : z_(std::make_unique<Zlib>()) {
  // Raw DEFLATE, no zlib or gzip wrapper, the largest window.
  ready_ = inflateInit2(&z_->stream, -15) == Z_OK;
}

TInflateStream::~TInflateStream() {
  if (ready_) inflateEnd(&z_->stream);
}

char* TInflateStream::InputArea(std::size_t size) {
  if (size > inputRoom_ || input_ == nullptr) {
    // Uninitialised on purpose: the piece is written before it is read.
    input_.reset(new char[size > 0 ? size : 1]);
    inputRoom_ = size;
  }
  inputStart_ = inputEnd_ = 0;
  return input_.get();
}

void TInflateStream::InputArrived(std::size_t size) {
  inputStart_ = 0;
  inputEnd_ = size < inputRoom_ ? size : inputRoom_;
  if (inputEnd_ > 0) fed_ = true;
}

bool TInflateStream::BetweenBlocks() const {
  if (ended_ || !fed_) return true;
  return InputHeld() == 0 && betweenBlocks_;
}

std::size_t TInflateStream::Inflate(char* out, std::size_t room) {
  // Called with no input too: a long match may still have bytes to give.
  if (!ready_ || corrupt_ || ended_ || room == 0) return 0;
  z_stream& z = z_->stream;
  z.next_in = input_ != nullptr ? reinterpret_cast<Bytef*>(input_.get() + inputStart_) : Z_NULL;
  z.avail_in = static_cast<uInt>(InputHeld());
  z.next_out = reinterpret_cast<Bytef*>(out);
  z.avail_out = static_cast<uInt>(room);
  int rc = inflate(&z, Z_SYNC_FLUSH);
  // A call that moved nothing says nothing of where the stream is (zlib
  // clears data_type then): the last one that moved something does.
  if (inputEnd_ - z.avail_in != inputStart_ || z.avail_out != room)
    betweenBlocks_ = (z.data_type & 128) != 0;
  inputStart_ = inputEnd_ - z.avail_in;
  if (rc == Z_STREAM_END) {
    ended_ = true;
  } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
    corrupt_ = true;
  }
  if (InputHeld() == 0 || ended_ || corrupt_) inputStart_ = inputEnd_ = 0;
  return room - z.avail_out;
}
