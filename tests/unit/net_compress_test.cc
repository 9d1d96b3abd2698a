// The DEFLATE layer, with the component on both ends or a server that
// writes raw bytes: both directions byte for byte, the cork, a corrupt
// stream, a stream that inflates to far more than it is, bytes in clear
// before the start; and the NNTP client's COMPRESS.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "nntp/NntpCli.h"
#include "tests/unit/failing_socklib.h"
#include "tests/unit/nntp_test_util.h"

namespace {

// Exposes what the layers hold, which is what a peer's stream may cost.
class ProbedSocket : public TWSocket {
 public:
  using TWSocket::TWSocket;
  std::int32_t Held() { return LayersHold(); }
};

// Raw DEFLATE of `text`, sync-flushed, as a peer's side of the stream.
std::string Deflated(const std::string& text) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, text.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}

std::string NewsText(std::size_t size) {
  static const char* words[] = {"kestrun", "news", "artykuł", "server", "posting", "group", "line"};
  std::string text;
  for (std::size_t i = 0; text.size() < size; ++i) {
    text += words[(i * 7 + i / 13) % 7];
    text += i % 11 == 10 ? "\r\n" : " ";
  }
  text.resize(size);
  return text;
}

// A connection of the component to itself, compressed from both ends.
struct Pair {
  LoopbackServer server;
  ProbedSocket client{nullptr};
  TWSocket* peer = nullptr;
  std::string atServer, atClient;
  int clientClosed = -1;

  explicit Pair(bool startCompress = true) {
    server.OnReady = [this, startCompress](TWSocket& p) {
      peer = &p;
      if (startCompress) p.StartCompress();
      p.OnDataAvailable = [this, &p](TObject*, std::uint16_t) {
        char buffer[65536];
        int n = p.Receive(buffer, sizeof buffer);
        if (n > 0) atServer.append(buffer, static_cast<std::size_t>(n));
      };
    };
    client.OnSessionClosed = [this](TObject*, std::uint16_t e) { clientClosed = e; };
    client.AssignAddr("127.0.0.1");
    client.AssignPort(server.Port());
    client.Connect();
    EXPECT_TRUE(RunUntil([&] { return client.State() == wsConnected && peer != nullptr; }));
    if (startCompress) client.StartCompress();
  }
};

TEST(Compress, BothDirectionsArriveByteForByteAndSmaller) {
  Pair pair;
  const std::string text = NewsText(1 << 20);
  pair.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    pair.atClient += pair.client.ReceiveString();
  };
  ASSERT_EQ(pair.client.Send(text.data(), static_cast<int>(text.size())),
            static_cast<int>(text.size()));
  ASSERT_TRUE(RunUntil([&] { return pair.atServer.size() >= text.size(); }));
  EXPECT_TRUE(pair.atServer == text);
  EXPECT_LT(pair.client.CompressPackedSent() * 3, pair.client.CompressPlainSent());
  // And back, through line mode on top: one line per event.
  std::vector<std::string> lines;
  pair.client.SetLineMode(true);
  pair.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    lines.push_back(pair.client.ReceiveString());
  };
  pair.peer->SendString("first line\r\nsecond line\r\n");
  ASSERT_TRUE(RunUntil([&] { return lines.size() >= 2; }));
  EXPECT_EQ(lines, (std::vector<std::string>{"first line\r\n", "second line\r\n"}));
}

// A piece from the peer costs one read of the socket: once the application
// has read what it inflated to, the delivery learns that nothing more waits
// from the socket's last read, without another that can only find nothing.
TEST(Compress, APieceFromThePeerIsReadFromTheSocketOnce) {
  FailingSocketLibrary library;  // counts the reads (fails none); before the sockets
  Pair pair;
  pair.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char buffer[65536];
    int n = pair.client.Receive(buffer, sizeof buffer);
    if (n > 0) pair.atClient.append(buffer, static_cast<std::size_t>(n));
  };
  for (std::size_t size : {100u, 5000u, 40000u}) {
    const std::string text = NewsText(size);
    const std::size_t had = pair.atClient.size();
    const int readsBefore = library.RecvCalls();
    ASSERT_EQ(pair.peer->Send(text.data(), static_cast<int>(text.size())),
              static_cast<int>(text.size()));
    ASSERT_TRUE(RunUntil([&] { return pair.atClient.size() >= had + text.size(); }));
    EXPECT_TRUE(pair.atClient.compare(had, std::string::npos, text) == 0) << size;
    EXPECT_EQ(library.RecvCalls() - readsBefore, 1) << size;
    // Nor does asking what waits.
    const int reads = library.RecvCalls();
    EXPECT_EQ(pair.client.RcvdCount(), 0) << size;
    EXPECT_EQ(library.RecvCalls(), reads) << size;
  }
}

// While corked, sends are one stream, flushed when the cork comes off: far
// fewer bytes than a flush per send, and the peer gets every byte.
TEST(Compress, CorkedSendsAreOneStream) {
  std::int64_t packed[2] = {0, 0};
  for (bool corked : {false, true}) {
    SCOPED_TRACE(corked ? "corked" : "a flush per send");
    Pair pair;
    const std::string text = NewsText(64 * 1024);
    if (corked) pair.client.SetTcpCork(true);
    for (std::size_t at = 0; at < text.size(); at += 512) pair.client.Send(text.data() + at, 512);
    if (corked) pair.client.SetTcpCork(false);
    ASSERT_TRUE(RunUntil([&] { return pair.atServer.size() >= text.size(); }));
    EXPECT_TRUE(pair.atServer == text);
    packed[corked ? 1 : 0] = pair.client.CompressPackedSent();
  }
  EXPECT_LT(packed[1] * 2, packed[0]);
}

TEST(Compress, ACorruptStreamClosesWithItsOwnError) {
  Pair pair(false);
  std::vector<int> reads;
  pair.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char buffer[256];
    int n = pair.client.Receive(buffer, sizeof buffer);
    reads.push_back(n < 0 ? -static_cast<int>(pair.client.LastError()) : n);
  };
  pair.client.StartCompress();
  // A good block, then bytes that are no DEFLATE (a reserved block type).
  pair.peer->SendString(Deflated("fine so far\r\n") + std::string("\xff\xff\xff\xff", 4));
  ASSERT_TRUE(RunUntil([&] { return pair.clientClosed >= 0; }));
  EXPECT_EQ(pair.clientClosed, kCompressErrorCorrupt);
  EXPECT_EQ(pair.client.State(), wsClosed);
  EXPECT_EQ(SocketErrorText(kCompressErrorCorrupt), "Compressed stream is corrupt");
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads.front(), 13);
}

// A stream that inflates to 128 MB from 128 KB costs the reader what it has
// not read, at most a window, never the whole.
TEST(Compress, AStreamThatInflatesToFarMoreCostsOnlyAWindow) {
  Pair pair(false);
  const std::size_t inflated = 128u << 20;
  const std::string bomb = Deflated(std::string(inflated, '\0'));
  ASSERT_LT(bomb.size(), 256u * 1024);
  bool reading = false;
  std::size_t got = 0;
  std::int32_t mostHeld = 0;
  pair.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    mostHeld = std::max(mostHeld, pair.client.Held());
    if (!reading) return;
    char buffer[65536];
    int n = pair.client.Receive(buffer, sizeof buffer);
    if (n > 0) got += static_cast<std::size_t>(n);
    mostHeld = std::max(mostHeld, pair.client.Held());
  };
  pair.client.StartCompress();
  pair.peer->Send(bomb.data(), static_cast<int>(bomb.size()));
  ASSERT_TRUE(PumpUntilIdle(50));
  EXPECT_LE(pair.client.Held(), 2 * 65536);
  EXPECT_GT(pair.client.RcvdCount(), -1);
  reading = true;
  pair.client.Resume();  // an offer left unread stalls; Resume offers again
  ASSERT_TRUE(RunUntil([&] { return got >= inflated; }, 60000)) << got;
  EXPECT_EQ(got, inflated);
  EXPECT_LE(mostHeld, 2 * 65536);
}

// The go-ahead with a line in clear behind it in the same segment: the line
// is never inflated, nor handed out, and what follows is.
TEST(Compress, BytesInClearBeforeTheStartAreDropped) {
  Pair pair(false);
  std::vector<std::string> lines;
  pair.client.SetLineMode(true);
  pair.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    std::string line = pair.client.ReceiveString();
    lines.push_back(line);
    if (line == "206 go\r\n") pair.client.StartCompress();
  };
  pair.peer->SendString("206 go\r\nJUNK in clear\r\n");
  pair.peer->StartCompress();
  ASSERT_TRUE(RunUntil([&] { return pair.client.CompressActive(); }));
  pair.peer->SendString("PONG\r\n");
  ASSERT_TRUE(RunUntil([&] { return lines.size() >= 2; }));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(lines, (std::vector<std::string>{"206 go\r\n", "PONG\r\n"}));
}

// The NNTP client: 206 turns compression on (a line behind it in clear is
// nobody's answer), 403 changes nothing, and once on, neither STARTTLS nor a
// second COMPRESS may be asked.
TEST(Compress, TheNntpClientsCompress) {
  for (bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "403" : "206");
    ScriptedServer server;
    server.answer = [&](const std::string& line) -> std::string {
      if (line == "COMPRESS DEFLATE") {
        if (refused) return "403 not now\r\n";
        server.peer->SendString("206 compressing\r\n500 forged\r\n");
        server.peer->StartCompress();
        return "";
      }
      if (line == "DATE") return "111 20261207120000\r\n";
      return "500 unknown\r\n";
    };
    TNntpCli client(nullptr);
    std::vector<std::uint16_t> done;
    client.OnRequestDone = [&](TObject*, TNntpRequest, std::uint16_t e) { done.push_back(e); };
    client.SetHost("127.0.0.1");
    client.SetPort(server.Port());
    client.Connect();
    ASSERT_TRUE(RunUntil([&] { return client.State() == nntpReady; }));
    done.clear();
    client.Compress();
    ASSERT_TRUE(RunUntil([&] { return !done.empty(); }));
    EXPECT_EQ(done.back(), refused ? 403 : 0);
    EXPECT_EQ(client.CompressActive(), !refused);
    client.Date();
    ASSERT_TRUE(RunUntil([&] { return done.size() >= 2; }));
    EXPECT_EQ(done.back(), 0);
    EXPECT_EQ(client.LastResponse(), "111 20261207120000");
    if (!refused) {
      EXPECT_THROW(client.Compress(), NntpException);
      EXPECT_THROW(client.StartTls(), NntpException);
    }
  }
}

}  // namespace
