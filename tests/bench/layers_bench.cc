// Benchmarks of the socket layers.
//
//   layers_bench lines [count] [runs]     line mode against a blocking recv +
//                                         memchr splitter, runs of each taken in
//                                         turn, medians; one long line
//   layers_bench serve-lines [count]      serves 80-byte lines to one client
//                                         (for the Python reader); prints the port
//   layers_bench socks ADDR:PORT...       median connect-and-negotiate time
//                                         through each proxy, and direct
//   layers_bench wait [ms]                processor time of a synchronous wait
//                                         on a silent server
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/WSocket.h"
#include "platform/files.h"
#include "rtl/forms.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

plat::TSockAddrIn Address(const char* ip, std::uint16_t port) {
  plat::TSockAddrIn a{};
  a.sin_family = plat::kAfInet;
  a.sin_port = wsock::htons(port);
  a.sin_addr.S_addr = wsock::inet_addr(ip);
  return a;
}

// A blocking listener on its own thread: each accepted connection gets
// `payload` `repeat` times (then a close), or is closed at once when the
// payload is empty.
class Source {
 public:
  Source(std::string payload, int connections, long repeat = 1) : payload_(std::move(payload)) {
    listener_ = wsock::socket(plat::kAfInet, plat::kSockStream, 0);
    plat::TSockAddrIn a = Address("127.0.0.1", 0);
    wsock::bind(listener_, reinterpret_cast<plat::TSockAddr*>(&a), sizeof a);
    wsock::listen(listener_, 64);
    int len = sizeof a;
    wsock::getsockname(listener_, reinterpret_cast<plat::TSockAddr*>(&a), &len);
    port_ = wsock::ntohs(a.sin_port);
    thread_ = std::thread([this, connections, repeat] {
      for (int i = 0; i < connections; ++i) {
        plat::TSocket s = wsock::accept(listener_, nullptr, nullptr);
        if (s == plat::kInvalidSocket) break;
        bool sending = true;
        for (long r = 0; sending && r < repeat; ++r) {
          for (std::size_t off = 0; off < payload_.size();) {
            int n = wsock::send(
                s, payload_.data() + off,
                static_cast<int>(std::min<std::size_t>(payload_.size() - off, 1 << 16)), 0);
            if (n <= 0) {
              sending = false;
              break;
            }
            off += static_cast<std::size_t>(n);
          }
        }
        wsock::shutdown(s, 1);
        char sink[256];
        while (wsock::recv(s, sink, sizeof sink, 0) > 0) {
        }
        wsock::closesocket(s);
      }
    });
  }
  ~Source() {
    if (thread_.joinable()) thread_.join();
    wsock::closesocket(listener_);
  }
  std::uint16_t Port() const { return port_; }

 private:
  std::string payload_;
  plat::TSocket listener_;
  std::uint16_t port_;
  std::thread thread_;
};

// `count` lines of 80 bytes (CR LF included), as a block of lines sent
// over and over, so that millions of lines cost no memory.
struct LineSource {
  static constexpr long kBlockLines = 8192;
  std::string block;
  long repeat;
  explicit LineSource(long count) : repeat((count + kBlockLines - 1) / kBlockLines) {
    std::string line(78, 'x');
    line += "\r\n";
    for (long i = 0; i < std::min(count, kBlockLines); ++i) block += line;
    if (count < kBlockLines) repeat = 1;
  }
  long Lines() const { return repeat * static_cast<long>(block.size() / 80); }
};

struct Result {
  double seconds, cpu;
  long lines;
};

// What a handler does with a line in the ceiling's own loop.
using TLineCall = std::function<void(const char* line, std::size_t size)>;

// The ceiling: one blocking recv after another, lines found with memchr.
// Given `perLine`, it also calls that for each line: the least that one
// event per line can cost, with none of a component's bookkeeping.
Result Ceiling(const LineSource& source, const TLineCall* perLine = nullptr) {
  Source src(source.block, 1, source.repeat);
  plat::TSocket s = wsock::socket(plat::kAfInet, plat::kSockStream, 0);
  plat::TSockAddrIn a = Address("127.0.0.1", src.Port());
  double cpu0 = plat::ProcessCpuSeconds();
  auto t0 = Clock::now();
  wsock::connect(s, reinterpret_cast<plat::TSockAddr*>(&a), sizeof a);
  std::vector<char> buf(1 << 18);
  long lines = 0;
  std::size_t carry = 0;
  int n;
  while ((n = wsock::recv(s, buf.data() + carry, static_cast<int>(buf.size() - carry), 0)) > 0) {
    char* p = buf.data();
    char* end = buf.data() + carry + n;
    char* nl;
    while ((nl = static_cast<char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)))) !=
           nullptr) {
      ++lines;
      if (perLine != nullptr) (*perLine)(p, static_cast<std::size_t>(nl + 1 - p));
      p = nl + 1;
    }
    carry = static_cast<std::size_t>(end - p);
    std::memmove(buf.data(), p, carry);
  }
  wsock::closesocket(s);
  return {Seconds(t0), plat::ProcessCpuSeconds() - cpu0, lines};
}

// How the handler reads its line.
enum class Read { kString, kBuffer };

// The component in line mode: one OnDataAvailable per line, read with
// ReceiveString or with Receive into the handler's own buffer. `limit` is
// its LineLimit.
Result LineMode(const std::string& payload, long repeat = 1, std::int32_t limit = 65536,
                Read read = Read::kString) {
  Source src(payload, 1, repeat);
  TWSocket s(nullptr);
  long lines = 0;
  bool closed = false;
  s.SetLineMode(true);
  s.SetLineLimit(limit);
  if (read == Read::kString) {
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
      if (!s.ReceiveString().empty()) ++lines;
    };
  } else {
    s.OnDataAvailable = [&](TObject*, std::uint16_t) {
      char line[256];
      if (s.Receive(line, sizeof line) > 0) ++lines;
    };
  }
  s.OnSessionClosed = [&](TObject*, std::uint16_t) { closed = true; };
  double cpu0 = plat::ProcessCpuSeconds();
  auto t0 = Clock::now();
  s.AssignAddr("127.0.0.1");
  s.AssignPort(std::to_string(src.Port()));
  s.Connect();
  while (!closed) Application->HandleMessage();
  return {Seconds(t0), plat::ProcessCpuSeconds() - cpu0, lines};
}

void Report(const char* what, const Result& r, double ceiling = 0) {
  double rate = r.lines / r.seconds;
  std::printf("%-34s %9ld lines %7.3f s %10.0f lines/s  cpu %6.3f s", what, r.lines, r.seconds,
              rate, r.cpu);
  if (ceiling > 0) std::printf("  %5.1f%% of the ceiling", 100 * rate / ceiling);
  std::printf("\n");
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int BenchLines(long count, int runs) {
  LineSource lines(count);
  // Taken in turn, so that whatever else the machine does at a time weighs
  // on all alike; the medians are compared.
  std::vector<double> ceiling, layer, buffered, ceilingCpu, layerCpu, bufferedCpu, copied, built;
  static char sink[256];
  const TLineCall copy = [](const char* p, std::size_t n) { std::memcpy(sink, p, n); };
  const TLineCall build = [](const char* p, std::size_t n) {
    std::string line(p, n);
    sink[0] = line.back();
  };
  for (int i = 0; i < runs; ++i) {
    Result c = Ceiling(lines);
    Report("blocking recv + memchr (ceiling)", c);
    Result cc = Ceiling(lines, &copy);
    Report("ceiling, a call copying each line", cc, c.lines / c.seconds);
    Result cb = Ceiling(lines, &build);
    Report("ceiling, a call with a string", cb, c.lines / c.seconds);
    Result l = LineMode(lines.block, lines.repeat);
    Report("line mode, ReceiveString", l, c.lines / c.seconds);
    Result b = LineMode(lines.block, lines.repeat, 65536, Read::kBuffer);
    Report("line mode, Receive", b, c.lines / c.seconds);
    for (const Result* r : {&c, &cc, &cb, &l, &b}) {
      if (r->lines != lines.Lines()) {
        std::fprintf(stderr, "lines lost: %ld of %ld\n", r->lines, lines.Lines());
        return 1;
      }
    }
    ceiling.push_back(c.lines / c.seconds);
    layer.push_back(l.lines / l.seconds);
    buffered.push_back(b.lines / b.seconds);
    copied.push_back(cc.lines / cc.seconds);
    built.push_back(cb.lines / cb.seconds);
    ceilingCpu.push_back(c.cpu);
    layerCpu.push_back(l.cpu);
    bufferedCpu.push_back(b.cpu);
  }
  std::printf("medians of %d: ceiling %.1f M lines/s (cpu %.3f s)\n", runs, Median(ceiling) / 1e6,
              Median(ceilingCpu));
  std::printf("  line mode, ReceiveString %.1f M lines/s (cpu %.3f s): %.1f%% of the ceiling\n",
              Median(layer) / 1e6, Median(layerCpu), 100 * Median(layer) / Median(ceiling));
  std::printf("  line mode, Receive       %.1f M lines/s (cpu %.3f s): %.1f%% of the ceiling\n",
              Median(buffered) / 1e6, Median(bufferedCpu),
              100 * Median(buffered) / Median(ceiling));
  std::printf("  ceiling, a call copying each line %.1f M lines/s: %.1f%%\n", Median(copied) / 1e6,
              100 * Median(copied) / Median(ceiling));
  std::printf("  ceiling, a call with a string     %.1f M lines/s: %.1f%%\n", Median(built) / 1e6,
              100 * Median(built) / Median(ceiling));
  // One line without an end until the last byte: the buffer must grow
  // geometrically, or 10 MB costs a hundred times 1 MB.
  auto longLine = [](std::size_t mb) { return std::string(mb << 20, 'y') + "\r\n"; };
  Result one = LineMode(longLine(1), 1, 0);
  Result ten = LineMode(longLine(10), 1, 0);
  std::printf("one 1 MB line    %7.3f s\none 10 MB line   %7.3f s  (%.2f x ten 1 MB lines)\n",
              one.seconds, ten.seconds, ten.seconds / (10 * one.seconds));
  return 0;
}

int ServeLines(long count) {
  LineSource lines(count);
  Source src(lines.block, 1, lines.repeat);
  std::printf("%u\n", src.Port());
  std::fflush(stdout);
  return 0;  // the destructor waits for the one client
}

// Connect, negotiate (when a proxy is given), report connected, close.
double ConnectOnce(std::uint16_t destPort, const std::string& proxy) {
  TWSocket s(nullptr);
  bool done = false;
  std::uint16_t error = 0;
  s.OnSessionConnected = [&](TObject*, std::uint16_t e) {
    error = e;
    done = true;
  };
  s.AssignAddr("127.0.0.1");
  s.AssignPort(std::to_string(destPort));
  if (!proxy.empty()) {
    std::size_t colon = proxy.rfind(':');
    s.SetSocksServer(proxy.substr(0, colon));
    s.SetSocksPort(proxy.substr(colon + 1));
  }
  auto t0 = Clock::now();
  s.Connect();
  while (!done) Application->HandleMessage();
  double t = Seconds(t0);
  if (error != 0) std::fprintf(stderr, "connect through %s: error %u\n", proxy.c_str(), error);
  s.Abort();
  return t;
}

int BenchSocks(const std::vector<std::string>& proxies, int count) {
  std::vector<std::string> all{""};
  all.insert(all.end(), proxies.begin(), proxies.end());
  for (const std::string& proxy : all) {
    Source dest("", count);
    std::vector<double> times;
    for (int i = 0; i < count; ++i) times.push_back(ConnectOnce(dest.Port(), proxy));
    std::printf("%-24s median %8.1f us over %d connects\n",
                proxy.empty() ? "direct" : proxy.c_str(), Median(times) * 1e6, count);
  }
  return 0;
}

int BenchWait(int ms) {
  Source silent(std::string(), 1);
  TWSocket s(nullptr);
  s.AssignAddr("127.0.0.1");
  s.AssignPort(std::to_string(silent.Port()));
  bool connected = false;
  s.OnSessionConnected = [&](TObject*, std::uint16_t) { connected = true; };
  s.Connect();
  while (!connected) Application->HandleMessage();
  // The source closes its side at once; a wait on that would end early, so
  // wait on a flag nothing sets and ignore the data events.
  s.OnDataAvailable = [&](TObject*, std::uint16_t) { s.ReceiveString(); };
  s.OnSessionClosed = nullptr;
  bool never = false;
  s.SetTimeout(ms);
  double cpu0 = plat::ProcessCpuSeconds();
  auto t0 = Clock::now();
  int r = s.WaitForDone(never);
  std::printf("wait of %d ms: returned %d after %.3f s, processor time %.1f ms\n", ms, r,
              Seconds(t0), (plat::ProcessCpuSeconds() - cpu0) * 1000);
  s.Abort();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "lines";
  if (mode == "lines") {
    return BenchLines(argc > 2 ? std::atol(argv[2]) : 16000000, argc > 3 ? std::atoi(argv[3]) : 7);
  }
  if (mode == "serve-lines") return ServeLines(argc > 2 ? std::atol(argv[2]) : 1000000);
  if (mode == "socks") {
    std::vector<std::string> proxies(argv + 2, argv + argc);
    const char* n = std::getenv("KESTRUN_BENCH_CONNECTS");
    return BenchSocks(proxies, n != nullptr ? std::atoi(n) : 1000);
  }
  if (mode == "wait") return BenchWait(argc > 2 ? std::atoi(argv[2]) : 5000);
  std::fprintf(stderr, "usage: layers_bench lines|serve-lines|socks|wait ...\n");
  return 2;
}
