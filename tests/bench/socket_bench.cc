// Throughput of the socket component against plain blocking loops, and the
// CPU cost of waiting on a silent connection.
//
//   socket_bench [megabytes]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "net/WSocket.h"
#include "platform/files.h"
#include "rtl/forms.h"

namespace {

using Clock = std::chrono::steady_clock;

plat::TSockAddrIn Loopback(std::uint16_t port) {
  plat::TSockAddrIn a{};
  a.sin_family = plat::kAfInet;
  a.sin_port = wsock::htons(port);
  a.sin_addr.S_addr = wsock::inet_addr("127.0.0.1");
  return a;
}

// A blocking receiver on its own thread that reads everything until the
// sender closes.
class Sink {
 public:
  explicit Sink(bool silent = false) {
    listener_ = wsock::socket(plat::kAfInet, plat::kSockStream, 0);
    plat::TSockAddrIn a = Loopback(0);
    wsock::bind(listener_, reinterpret_cast<plat::TSockAddr*>(&a), sizeof a);
    wsock::listen(listener_, 1);
    int len = sizeof a;
    wsock::getsockname(listener_, reinterpret_cast<plat::TSockAddr*>(&a), &len);
    port_ = wsock::ntohs(a.sin_port);
    thread_ = std::thread([this, silent] {
      plat::TSocket s = wsock::accept(listener_, nullptr, nullptr);
      std::vector<char> buf(1 << 16);
      int n;
      while ((n = wsock::recv(s, buf.data(), static_cast<int>(buf.size()), 0)) > 0) {
        if (!silent) received += n;
      }
      wsock::closesocket(s);
    });
  }
  ~Sink() {
    Wait();
    wsock::closesocket(listener_);
  }
  // Returns once the sender has closed and everything was read.
  void Wait() {
    if (thread_.joinable()) thread_.join();
  }
  std::uint16_t Port() const { return port_; }
  std::atomic<long long> received{0};

 private:
  plat::TSocket listener_;
  std::uint16_t port_;
  std::thread thread_;
};

// Blocking sends of `chunk`-byte pieces, each cut into calls of at most
// `call` bytes, as the component's 1514-byte blocks cut them.
double BlockingLoop(long long total, int chunk, int call = 1 << 30) {
  Sink sink;
  plat::TSocket s = wsock::socket(plat::kAfInet, plat::kSockStream, 0);
  plat::TSockAddrIn a = Loopback(sink.Port());
  wsock::connect(s, reinterpret_cast<plat::TSockAddr*>(&a), sizeof a);
  std::vector<char> data(static_cast<std::size_t>(chunk), 'b');
  auto t0 = Clock::now();
  for (long long sent = 0; sent < total;) {
    int piece = static_cast<int>(std::min<long long>(chunk, total - sent));
    for (int off = 0; off < piece;) {
      int n = wsock::send(s, data.data() + off, std::min(call, piece - off), 0);
      if (n <= 0) return 0;
      off += n;
    }
    sent += piece;
  }
  wsock::closesocket(s);
  sink.Wait();
  double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (sink.received != total)
    std::printf("  (sink received %lld of %lld bytes)\n", sink.received.load(), total);
  return static_cast<double>(total) / 1e6 / seconds;
}

double ComponentLoop(long long total) {
  Sink sink;
  TWSocket client(nullptr);
  std::vector<char> piece(4096, 'c');
  long long handed = 0;
  bool connected = false;
  client.OnSessionConnected = [&](TObject*, std::uint16_t) { connected = true; };
  // One 4096-byte piece per OnDataSent, the way the NNTP client posts.
  bool done = false;
  client.OnDataSent = [&](TObject*, std::uint16_t) {
    if (!connected || done) return;
    if (handed >= total) {
      done = true;
      client.Abort();  // an orderly close once everything has gone out
      return;
    }
    int n = static_cast<int>(std::min<long long>(4096, total - handed));
    handed += n;
    client.Send(piece.data(), n);
  };
  client.AssignAddr("127.0.0.1");
  client.AssignPort(std::to_string(sink.Port()));
  client.Connect();
  auto t0 = Clock::now();
  while (!done) Application->HandleMessage();
  sink.Wait();
  double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (sink.received != total)
    std::printf("  (sink received %lld of %lld bytes)\n", sink.received.load(), total);
  return static_cast<double>(total) / 1e6 / seconds;
}

double IdleCpuMs(int seconds) {
  Sink sink(true);
  TWSocket client(nullptr);
  client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char b[16];
    client.Receive(b, sizeof b);
  };
  client.AssignAddr("127.0.0.1");
  client.AssignPort(std::to_string(sink.Port()));
  client.Connect();
  double cpu0 = plat::ProcessCpuSeconds();
  auto end = Clock::now() + std::chrono::seconds(seconds);
  for (auto now = Clock::now(); now < end; now = Clock::now()) {
    Application->ProcessMessages();
    plat::WaitForMessage(
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count()) +
        1);
  }
  double cpu = plat::ProcessCpuSeconds() - cpu0;
  client.Abort();
  return cpu * 1000;
}

}  // namespace

int main(int argc, char** argv) {
  long long megabytes = argc > 1 ? std::atoll(argv[1]) : 100;
  long long total = megabytes * 1000 * 1000;
  wsock::htons(0);  // load and start the library before any thread uses it
  std::printf("socket throughput, %lld MB over loopback, median of 5 runs\n", megabytes);
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::vector<double> comp, b1514, b4096, b64k;
  for (int i = 0; i < 5; ++i) {
    comp.push_back(ComponentLoop(total));
    b1514.push_back(BlockingLoop(total, 1514));
    b4096.push_back(BlockingLoop(total, 4096));
    b64k.push_back(BlockingLoop(total, 65536));
  }
  double c = median(comp), ceiling = median(b1514), pattern = median(b4096), limit = median(b64k);
  // The component hands each piece to the kernel as it is when nothing is
  // queued: a blocking loop of the same calls is its ceiling.
  std::printf(
      "  TWSocket Send/OnDataSent, 4096-byte pieces : %8.1f MB/s (%.0f%% of the blocking "
      "4096-byte loop)\n",
      c, 100 * c / pattern);
  std::printf("  blocking send loop, 1514-byte calls        : %8.1f MB/s\n", ceiling);
  std::printf("  blocking send loop, 4096-byte calls        : %8.1f MB/s\n", pattern);
  std::printf("  blocking send loop, 64 KiB calls           : %8.1f MB/s\n", limit);
  int idle = argc > 2 ? std::atoi(argv[2]) : 5;
  std::printf("CPU time while waiting %d s on a silent connection: %.2f ms\n", idle,
              IdleCpuMs(idle));
  return 0;
}
