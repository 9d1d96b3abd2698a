// Flow control: a server that stops reading a client whose echo is queued
// above a mark (PauseReceiving) and takes it up when the queue has drained,
// plain and compressed; every byte read before the peer's close through
// compression and line mode, at any read size; a compressed stream's end;
// and Accept failures that cost one client, never the listener.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "net/WSocket.h"
#include "tests/unit/failing_socklib.h"
#include "tests/unit/net_test_util.h"

namespace {

// Lines of letters that compress little, so that a compressed stream of
// megabytes is still megabytes on the wire.
std::string Pattern(std::size_t size) {
  std::string text(size, '\0');
  std::uint32_t x = 2463534242u;
  for (std::size_t i = 0; i < size; ++i) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    text[i] = i % 61 == 60 ? '\n' : i % 61 == 59 ? '\r' : static_cast<char>('!' + x % 90);
  }
  return text;
}

// Raw DEFLATE of `text` ending with `flush` (Z_SYNC_FLUSH or Z_FINISH).
std::string Deflated(const std::string& text, int flush) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, text.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_NE(deflate(&z, flush), Z_STREAM_ERROR);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}

// A connection of the component to itself; `compress` on both ends.
struct Pair {
  LoopbackServer server;
  TWSocket client{nullptr};
  TWSocket* peer = nullptr;
  int closed = -1;

  explicit Pair(bool compress, const std::function<void(TWSocket&)>& ready = {}) {
    // A close sends what is queued, then the end (the default resets).
    server.OnAccept = [](TWSocket& p) { p.SetLingerOnOff(wsLingerNoSet); };
    server.OnReady = [this, compress, ready](TWSocket& p) {
      peer = &p;
      if (compress) p.StartCompress();
      if (ready) ready(p);
    };
    client.OnSessionClosed = [this](TObject*, std::uint16_t e) { closed = e; };
    client.AssignAddr("127.0.0.1");
    client.AssignPort(server.Port());
    client.Connect();
    EXPECT_TRUE(RunUntil([&] { return client.State() == wsConnected && peer != nullptr; }));
    if (compress) client.StartCompress();
  }
};

// The server side of the echo, with the pattern the component documents.
constexpr std::int64_t kMark = 64 * 1024;
struct EchoStats {
  int pauses = 0, callsWhilePaused = 0;
  std::int64_t mostQueued = 0;
};
void Echo(TWSocket& p, EchoStats& stats, bool onQueueLow) {
  p.OnDataAvailable = [&p, &stats](TObject*, std::uint16_t) {
    if (p.ReceivingPaused()) ++stats.callsWhilePaused;
    char buffer[16384];
    int n = p.Receive(buffer, sizeof buffer);
    if (n > 0) p.Send(buffer, n);
    stats.mostQueued = std::max(stats.mostQueued, p.SendQueueSize());
    if (p.SendQueueSize() > kMark) {
      ++stats.pauses;
      p.PauseReceiving();
    }
  };
  if (onQueueLow) {
    p.OnSendQueueLow = [&p](TObject*) { p.ResumeReceiving(); };
  } else {
    p.OnDataSent = [&p](TObject*, std::uint16_t) { p.ResumeReceiving(); };
  }
}

TEST(BackPressure, AClientThatReadsLateGetsEveryByteAndTheServerQueueStaysNearTheMark) {
  const struct {
    bool compress, onQueueLow;
  } cases[] = {{false, false}, {false, true}, {true, true}};
  for (const auto& [compress, onQueueLow] : cases) {
    SCOPED_TRACE(std::string(compress ? "compressed" : "plain") +
                 (onQueueLow ? ", OnSendQueueLow" : ", OnDataSent"));
    EchoStats stats;
    Pair pair(compress, [&, onQueueLow](TWSocket& p) { Echo(p, stats, onQueueLow); });
    std::string echoed;
    int clientCallsWhilePaused = 0;
    std::int64_t sentBySystem = 0;
    pair.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
      if (pair.client.ReceivingPaused()) ++clientCallsWhilePaused;
      char buffer[65536];
      int n = pair.client.Receive(buffer, sizeof buffer);
      if (n > 0) echoed.append(buffer, static_cast<std::size_t>(n));
    };
    pair.client.OnSendData = [&](TObject*, std::int32_t n) { sentBySystem += n; };
    pair.client.PauseReceiving();  // reads late: only once everything is sent
    const std::string text = Pattern(24u << 20);
    ASSERT_EQ(pair.client.Send(text.data(), static_cast<int>(text.size())),
              static_cast<int>(text.size()));
    // Everything stops: the client reads nothing, the server holds back.
    ASSERT_TRUE(PumpUntilIdle(100));
    EXPECT_GE(stats.pauses, 1);
    EXPECT_TRUE(pair.peer->ReceivingPaused());
    EXPECT_LE(stats.mostQueued, kMark + 16384);
    if (!compress) {
      // What Send took and the system has not.
      EXPECT_GT(pair.client.SendQueueSize(), 0);
      EXPECT_EQ(pair.client.SendQueueSize(), static_cast<std::int64_t>(text.size()) - sentBySystem);
    }
    pair.client.ResumeReceiving();
    ASSERT_TRUE(RunUntil([&] { return echoed.size() >= text.size(); }, 60000)) << echoed.size();
    EXPECT_TRUE(echoed == text);
    EXPECT_EQ(pair.client.SendQueueSize(), 0);
    EXPECT_EQ(stats.callsWhilePaused, 0);
    EXPECT_EQ(clientCallsWhilePaused, 0);
    EXPECT_LE(stats.mostQueued, kMark + 16384);
  }
}

// The peer sends, then closes; the reader takes `size` bytes per event, so
// that most of it is still waiting when the close comes.
TEST(EveryByteBeforeTheClose, ThroughCompressionAndLineModeAtAnyReadSize) {
  const struct {
    bool compress, lines;
    int size;
    std::size_t total;
  } cases[] = {
      {true, false, 1, 200000},    {true, false, 257, 4u << 20}, {true, false, 65536, 4u << 20},
      {false, true, 1, 200000},    {false, true, 257, 4u << 20}, {false, true, 65536, 4u << 20},
      {true, true, 257, 1u << 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.compress ? "compressed " : "") + (c.lines ? "lines " : "") +
                 std::to_string(c.size));
    Pair pair(c.compress);
    // The last line has no line end: it still comes before the close.
    const std::string text = Pattern(c.total) + "no end";
    std::string got;
    bool closedBeforeAll = false;
    pair.client.SetLineMode(c.lines);
    pair.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
      std::vector<char> buffer(static_cast<std::size_t>(c.size));
      int n = pair.client.Receive(buffer.data(), c.size);
      if (n > 0) got.append(buffer.data(), static_cast<std::size_t>(n));
    };
    pair.client.OnSessionClosed = [&](TObject*, std::uint16_t e) {
      pair.closed = e;
      closedBeforeAll = got.size() < text.size();
    };
    pair.peer->OnDataSent = [&](TObject*, std::uint16_t) { pair.peer->Close(); };
    pair.peer->Send(text.data(), static_cast<int>(text.size()));
    ASSERT_TRUE(RunUntil([&] { return pair.closed >= 0; }, 60000)) << got.size();
    EXPECT_EQ(pair.closed, 0);
    EXPECT_FALSE(closedBeforeAll) << got.size() << " of " << text.size();
    EXPECT_TRUE(got == text) << got.size() << " of " << text.size();
  }
}

// How a compressed stream ends: the peer's close between blocks is an
// orderly end, inside one it is the stream cut short; a final block ends
// the stream (Receive 0, then the close) though the connection stays open.
TEST(CompressedEnd, BetweenBlocksInsideOneAndAFinalBlock) {
  const std::string text = Pattern(100000);
  const std::string flushed = Deflated(text, Z_SYNC_FLUSH);
  const struct {
    const char* what;
    std::string bytes;
    bool peerCloses;
    int closed;
    bool whole;
  } cases[] = {
      {"between blocks", flushed, true, 0, true},
      {"inside a block", flushed.substr(0, flushed.size() / 2), true, kCompressErrorTruncated,
       false},
      {"final block", Deflated(text, Z_FINISH) + "ignored after the end", false, 0, true},
  };
  EXPECT_EQ(SocketErrorText(kCompressErrorTruncated),
            "Compressed stream ended in the middle of a block");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Pair pair(false);
    std::string got;
    std::vector<int> ends;  // what Receive said once nothing was left
    pair.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
      char buffer[4096];
      for (;;) {
        int n = pair.client.Receive(buffer, sizeof buffer);
        if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
        if (n == 0) ends.push_back(0);
        if (n < 0 && pair.client.LastError() != plat::WSAEWOULDBLOCK)
          ends.push_back(pair.client.LastError());
        if (n <= 0) break;
      }
    };
    pair.client.StartCompress();
    if (c.peerCloses) pair.peer->OnDataSent = [&](TObject*, std::uint16_t) { pair.peer->Close(); };
    pair.peer->Send(c.bytes.data(), static_cast<int>(c.bytes.size()));
    ASSERT_TRUE(RunUntil([&] { return pair.closed >= 0; }));
    EXPECT_EQ(pair.closed, c.closed);
    if (c.whole) {
      EXPECT_TRUE(got == text) << got.size();
    } else {
      EXPECT_TRUE(text.compare(0, got.size(), got) == 0);
      EXPECT_LT(got.size(), text.size());
    }
    if (!c.peerCloses) {
      EXPECT_EQ(ends, std::vector<int>{0});
    }
  }
}

// A listener on a free port of 127.0.0.1 that echoes what each client
// sends, taking clients with Accept as a server would.
struct TEchoListener {
  TWSocket Listener{nullptr};
  std::vector<std::unique_ptr<TWSocket>> Peers;
  TEchoListener() {
    Listener.OnSessionAvailable = [this](TObject*, std::uint16_t) {
      TSocketHandle h = Listener.Accept();
      if (h == INVALID_SOCKET) return;
      Peers.push_back(std::make_unique<TWSocket>(nullptr));
      TWSocket* p = Peers.back().get();
      p->OnDataAvailable = [p](TObject*, std::uint16_t) { p->SendString(p->ReceiveString()); };
      p->Dup(h);
    };
    Listener.AssignAddr("127.0.0.1");
    Listener.AssignPort("0");
    Listener.Listen();
  }
  // Whether a new client gets `text` back.
  bool Echoes(const std::string& text) {
    TWSocket client(nullptr);
    std::string echoed;
    client.OnSessionConnected = [&](TObject*, std::uint16_t) { client.SendString(text); };
    client.OnDataAvailable = [&](TObject*, std::uint16_t) { echoed += client.ReceiveString(); };
    client.AssignAddr("127.0.0.1");
    client.AssignPort(Listener.ReadBoundPort());
    client.Connect();
    return RunUntil([&] { return echoed == text; });
  }
};

// A listener whose accept fails for a client that went away keeps
// listening, and the next client is served.
TEST(AcceptFailures, CostTheClientNotTheListener) {
  for (int error : {plat::WSAECONNRESET, plat::WSAENOTCONN, plat::WSAECONNABORTED}) {
    SCOPED_TRACE(error);
    FailingSocketLibrary library;
    TEchoListener echo;
    TWSocket& listener = echo.Listener;
    int errors = 0;
    listener.OnError = [&](TObject*) { ++errors; };
    library.FailAccept(1, error);
    ASSERT_TRUE(echo.Echoes("hello\r\n"));
    EXPECT_EQ(library.AcceptCalls(), 2);  // the failed one, and the next
    EXPECT_EQ(listener.State(), wsListening);
    EXPECT_EQ(errors, 0);
  }
}

// Clients that connect, send and reset before the server takes them (on
// Windows accept then fails with WSAECONNRESET; Linux hands them over and
// the first read finds the reset): the listener serves the next one.
TEST(AcceptFailures, ClientsThatResetBeforeAcceptLeaveTheListenerServing) {
  TEchoListener echo;
  TWSocket& listener = echo.Listener;
  listener.OnError = [](TObject*) {};
  plat::TSockAddrIn a{};
  a.sin_family = plat::kAfInet;
  a.sin_addr.S_addr = wsock::inet_addr("127.0.0.1");
  a.sin_port = wsock::htons(static_cast<std::uint16_t>(std::stoi(listener.ReadBoundPort())));
  for (int i = 0; i < 20; ++i) {
    plat::TSocket s = wsock::socket(plat::kAfInet, plat::kSockStream, plat::kIpProtoTcp);
    ASSERT_EQ(wsock::connect(s, reinterpret_cast<const plat::TSockAddr*>(&a), sizeof a), 0);
    wsock::send(s, "gone", 4, 0);
    plat::TLinger reset{1, 0};
    wsock::setsockopt(s, plat::kSolSocket, plat::kSoLinger, reinterpret_cast<const char*>(&reset),
                      sizeof reset);
    wsock::closesocket(s);
  }
  ASSERT_TRUE(echo.Echoes("next\r\n"));
  EXPECT_EQ(listener.State(), wsListening);
}

}  // namespace
