// Fuzz target (fuzz_reply) for the NNTP client's reply and data-line handling: the first
// byte picks the requests to start, the rest is what the server sends, fed
// in pieces whose sizes also come from the input. Nothing goes on the wire.
//
// Checked on every input: a data line reaches the stream whole (one write,
// ending in its own CR LF and holding no other CR LF), the stream is never
// written outside a request, and the request ends up reported or waiting.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "nntp/NntpCli.h"
#include "rtl/forms.h"

namespace {

class CheckingStream : public TStream {
 public:
  bool open = false;
  std::int32_t Read(void*, std::int32_t) override { return 0; }
  std::int32_t Write(const void* buffer, std::int32_t count) override {
    const char* p = static_cast<const char*>(buffer);
    if (!open || count < 2 || p[count - 2] != '\r' || p[count - 1] != '\n') std::abort();
    for (std::int32_t i = 0; i + 3 < count; ++i) {
      if (p[i] == '\r' && p[i + 1] == '\n') std::abort();
    }
    // Now and then the disk is full.
    return (count % 97 == 13) ? count - 1 : count;
  }
  std::int64_t Seek(std::int64_t, int) override { return 0; }
};

class FuzzCli : public TNntpCli {
 public:
  FuzzCli() : TNntpCli(nullptr) {}
  void SendCommandLine() override { FSavedResponse.clear(); }
  void Reset() {
    FReceiveBuffer.Clear();
    FDataFailure = 0;
    FRequestReported = true;
    FReplyHandler = nullptr;
    SetSessionState(nntpReady);
  }
  void Ready() { SetSessionState(nntpReady); }
  using TNntpCli::TakeReceived;
};

void Start(FuzzCli& c, int which, TStream* out) {
  switch (which % 12) {
    case 0:
      c.ArticleByNumber(1, out);
      break;
    case 1:
      c.BodyByID("a@b", out);
      break;
    case 2:
      c.XOver("1-9", out);
      break;
    case 3:
      c.XHdr(out, "Subject", "1-9");
      break;
    case 4:
      c.XPat(out, "Subject", "1-9", "*");
      break;
    case 5:
      c.NewNews(0, true, "", "", out);
      break;
    case 6:
      c.Group("pl.test");
      break;
    case 7:
      c.Date();
      break;
    case 8:
      c.Authenticate();
      break;
    case 9:
      c.StatByNumber(3);
      break;
    case 10:
      c.ModeReader();
      break;
    default:
      c.AnyCommand("LIST", out);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static FuzzCli* client = new FuzzCli;
  static CheckingStream* out = new CheckingStream;
  if (size < 2) return 0;
  int which = data[0];
  std::size_t piece = 1 + data[1] % 64 * 67;  // 1 to 4222 bytes per read
  data += 2;
  size -= 2;
  client->Reset();
  client->OnRequestDone = nullptr;
  out->open = true;
  Start(*client, which, out);
  while (size > 0) {
    std::size_t n = size < piece ? size : piece;
    client->TakeReceived(reinterpret_cast<const char*>(data), static_cast<int>(n));
    data += n;
    size -= n;
    if (client->State() != nntpWaitingResponse) {
      // The request ended (the socket is not connected, so the client says
      // so); start the next one on the rest of the input.
      client->Ready();
      Start(*client, ++which, out);
    }
  }
  out->open = false;
  client->Reset();
  Application->ProcessMessages();  // the queued completion notices
  return 0;
}
