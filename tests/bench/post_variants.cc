// Posts one article with three ways of ending the transfer, to show why the
// client pushes only the end marker without Nagle's delay:
//   shipped   - as the client does it: the article corked into full
//               segments, the end marker pushed at once (TCP_NODELAY)
//   nagle     - a plain socket: Nagle's algorithm holds the small marker
//               until the server's delayed acknowledgement
//   nodelay   - TCP_NODELAY for the whole transfer: many small segments
//
//   post_variants SERVER PORT FILE RUNS
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nntp/NntpCli.h"
#include "rtl/forms.h"

namespace {

enum class Mode { shipped, nagle, nodelay };

class VariantClient : public TNntpCli {
 public:
  VariantClient(Mode mode) : TNntpCli(nullptr), mode_(mode) {}

 protected:
  void SendPostBlock() override {
    if (mode_ == Mode::shipped) return TNntpCli::SendPostBlock();
    if (FDataStream == nullptr) return;
    FWSocket->SetTcpCork(false);
    if (mode_ == Mode::nodelay) FWSocket->SetTcpNoDelay(true);
    std::int32_t n = FDataStream->Read(FPostBuffer, kBufferSize);
    if (n > 0) {
      FWSocket->Send(FPostBuffer, n);
      return;
    }
    if (FTerminatorSent) return;
    FTerminatorSent = true;
    std::memcpy(FPostBuffer, "\r\n.\r\n", 5);
    FWSocket->Send(FPostBuffer, 5);
  }

 private:
  Mode mode_;
};

void Wait(const TNntpCli& c) {
  while (c.State() != nntpReady && c.State() != nntpNotConnected) Application->HandleMessage();
}

double PostOnce(Mode mode, const char* server, const char* port, const std::string& article) {
  VariantClient c(mode);
  c.SetHost(server);
  c.SetPort(port);
  c.Connect();
  Wait(c);
  if (c.State() != nntpReady) return -1;
  TMemoryStream m;
  m.WriteBuffer(article.data(), static_cast<std::int32_t>(article.size()));
  m.SetPosition(0);
  auto t0 = std::chrono::steady_clock::now();
  c.Post(&m);
  Wait(c);
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  if (c.StatusCode() != 240) std::fprintf(stderr, "post failed: %s\n", c.LastResponse().c_str());
  c.Abort();
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: post_variants SERVER PORT FILE RUNS\n");
    return 2;
  }
  std::string article;
  if (FILE* f = std::fopen(argv[3], "rb")) {
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) article.append(buf, n);
    std::fclose(f);
  }
  int runs = std::atoi(argv[4]);
  const std::pair<Mode, const char*> modes[] = {{Mode::shipped, "corked, marker pushed"},
                                                {Mode::nagle, "plain (Nagle)"},
                                                {Mode::nodelay, "TCP_NODELAY throughout"}};
  for (const auto& [mode, name] : modes) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) t.push_back(PostOnce(mode, argv[1], argv[2], article));
    std::sort(t.begin(), t.end());
    std::printf("    %-24s median %7.1f ms  (min %.1f, max %.1f)\n", name, t[t.size() / 2],
                t.front(), t.back());
  }
  return 0;
}
