// Line mode over loopback: lines split across arrivals, short reads, the
// limit, the last line at a close, changes of mode, editing and echo, and
// line mode behind a SOCKS proxy.
#include <gtest/gtest.h>

#include "tests/unit/layer_test_util.h"

namespace {

using V = std::vector<std::string>;

// A client connected straight to a loopback peer, in line mode.
struct LinePair {
  LoopbackServer server;
  TWSocket client{nullptr};
  V lines;
  std::string echoed;  // what the client sent back to the peer

  LinePair() {
    server.OnAccept = [this](TWSocket& p) {
      p.OnDataAvailable = [this, &p](TObject*, std::uint16_t) { echoed += p.ReceiveString(); };
    };
    client.SetLineMode(true);
    client.OnDataAvailable = [this](TObject*, std::uint16_t) {
      lines.push_back(client.ReceiveString());
    };
    client.AssignAddr("127.0.0.1");
    client.AssignPort(server.Port());
    client.Connect();
    EXPECT_TRUE(RunUntil([&] { return client.State() == wsConnected && !server.peers.empty(); }));
  }
  TWSocket& Peer() { return *server.peers.back(); }
  void Send(const std::string& s) { Peer().SendString(s); }
};

TEST(LineMode, LineEndSplitAcrossArrivals) {
  LinePair t;
  t.Send("AB\r");
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_TRUE(t.lines.empty());
  t.Send("\nCD\r\n");
  ASSERT_TRUE(RunUntil([&] { return t.lines.size() == 2; }));
  EXPECT_EQ(t.lines, (V{"AB\r\n", "CD\r\n"}));
  EXPECT_EQ(t.client.ReadCount(), 8);  // each byte counted once
}

TEST(LineMode, ShortReadsGetTheLineInPiecesAndAnyLineEndWorks) {
  LinePair t;
  std::vector<int> counts;
  t.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    counts.push_back(t.client.RcvdCount());
    char buf[2];
    int n = t.client.Receive(buf, 2);
    t.lines.push_back(std::string(buf, static_cast<std::size_t>(std::max(n, 0))));
  };
  t.Send("ABCD\r\n");
  ASSERT_TRUE(RunUntil([&] { return t.lines.size() == 3; }));
  EXPECT_EQ(t.lines, (V{"AB", "CD", "\r\n"}));
  EXPECT_EQ(counts, (std::vector<int>{6, 4, 2}));

  LinePair u;
  u.client.SetLineEnd("--END");
  u.Send("one--EN");
  EXPECT_TRUE(PumpUntilIdle());
  u.Send("Dtwo--E--END");
  ASSERT_TRUE(RunUntil([&] { return u.lines.size() == 2; }));
  EXPECT_EQ(u.lines, (V{"one--END", "two--E--END"}));
}

TEST(LineMode, EmptyLineEndPassesDataThrough) {
  LinePair t;
  t.client.SetLineEnd("");
  t.Send("no line end at all");
  ASSERT_TRUE(RunUntil([&] { return !t.lines.empty(); }));
  EXPECT_EQ(t.lines, (V{"no line end at all"}));
}

TEST(LineMode, LimitFiresAboveItAndClearsUnlessTold) {
  LinePair t;
  std::vector<int> lengths;
  bool keep = false;
  t.client.OnLineLimitExceeded = [&](TObject*, std::int32_t n, bool& clear) {
    lengths.push_back(n);
    EXPECT_TRUE(clear);
    if (keep) clear = false;
  };
  t.Send(std::string(65536, 'x'));
  ASSERT_TRUE(RunUntil([&] { return t.client.LineBufferCount() == 65536; }));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_TRUE(lengths.empty());
  t.Send("y");
  ASSERT_TRUE(RunUntil([&] { return lengths.size() == 1; }));
  EXPECT_EQ(lengths[0], 65537);
  EXPECT_EQ(t.client.LineBufferCount(), 0);

  keep = true;
  t.client.SetLineLimit(10);
  t.Send("0123456789A");
  ASSERT_TRUE(RunUntil([&] { return lengths.size() == 2; }));
  EXPECT_EQ(t.client.LineBufferCount(), 11);
  t.Send("B\r\n");  // kept bytes are the start of the next line
  ASSERT_TRUE(RunUntil([&] { return t.lines.size() == 1; }));
  EXPECT_EQ(t.lines[0], "0123456789AB\r\n");
}

TEST(LineMode, TheLastLineWithoutEndComesBeforeTheClose) {
  LinePair t;
  V events;
  t.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    events.push_back("line " + t.client.ReceiveString());
  };
  t.client.OnSessionClosed = [&](TObject*, std::uint16_t) { events.push_back("closed"); };
  t.Send("full\r\nxyz");
  ASSERT_TRUE(RunUntil([&] { return events.size() == 1; }));
  t.Peer().Shutdown(1);
  ASSERT_TRUE(RunUntil([&] { return events.size() == 3; }));
  EXPECT_EQ(events, (V{"line full\r\n", "line xyz", "closed"}));
}

TEST(LineMode, TurnedOffHeldBytesComeBeforeNewerOnes) {
  LinePair t;
  std::vector<std::string> reads;
  t.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    char buf[100];
    int n = t.client.Receive(buf, sizeof buf);
    if (n > 0) reads.emplace_back(buf, static_cast<std::size_t>(n));
  };
  t.Send("abc");
  ASSERT_TRUE(RunUntil([&] { return t.client.LineBufferCount() == 3; }));
  t.client.SetLineMode(false);
  t.Send("def");
  ASSERT_TRUE(RunUntil([&] { return reads.size() == 2; }));
  EXPECT_EQ(reads, (V{"abc", "def"}));
}

TEST(LineMode, ReadingWithNoLinePendingNeverOvertakesHeldBytes) {
  LinePair t;
  t.Send("abc");
  ASSERT_TRUE(RunUntil([&] { return t.client.LineBufferCount() == 3; }));
  t.Send("XYZ\r\n");  // in the socket, not yet handled
  char buf[100];
  EXPECT_EQ(t.client.Receive(buf, sizeof buf), -1);
  EXPECT_EQ(t.client.LastError(), 10035);
  ASSERT_TRUE(RunUntil([&] { return t.lines.size() == 1; }));
  EXPECT_EQ(t.lines[0], "abcXYZ\r\n");
}

TEST(LineMode, AHandlerThatReadsNothingIsNotCalledForEver) {
  LinePair t;
  int calls = 0;
  bool read = false;
  t.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    if (++calls > 100) t.client.SetLineMode(false);  // a way out for a broken layer
    if (read) t.lines.push_back(t.client.ReceiveString());
  };
  t.Send("one\r\n");
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(calls, 1);
  // The line stayed pending: the next arrival offers it again, first.
  read = true;
  t.Send("two\r\n");
  ASSERT_TRUE(RunUntil([&] { return t.lines.size() == 2; }));
  EXPECT_EQ(t.lines, (V{"one\r\n", "two\r\n"}));
}

TEST(LineMode, HeldCompleteLinesGoOutWithoutNewData) {
  LinePair t;
  t.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    if (!t.client.LineMode()) {
      t.client.SetLineMode(true);  // back on, reading nothing raw
      return;
    }
    t.lines.push_back(t.client.ReceiveString());
    if (t.lines.size() == 1) t.client.SetLineMode(false);
  };
  t.Send("a\r\nb\r\nc\r\n");
  ASSERT_TRUE(RunUntil([&] { return t.lines.size() == 3; }));
  EXPECT_EQ(t.lines, (V{"a\r\n", "b\r\n", "c\r\n"}));
}

TEST(LineMode, TurnedOffWithoutAHandlerHeldBytesAreDropped) {
  LinePair t;
  t.Send("abc");
  ASSERT_TRUE(RunUntil([&] { return t.client.LineBufferCount() == 3; }));
  auto handler = t.client.OnDataAvailable;
  t.client.OnDataAvailable = nullptr;
  t.client.SetLineMode(false);
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(t.client.LineBufferCount(), 0);
  std::string data;
  t.client.OnDataAvailable = [&](TObject*, std::uint16_t) { data += t.client.ReceiveString(); };
  t.Send("new");
  ASSERT_TRUE(RunUntil([&] { return data == "new"; }));
}

TEST(LineMode, EditingAndEcho) {
  LinePair t;
  t.client.SetLineEdit(true);
  t.client.SetLineEcho(true);
  t.Send("a\tb\bc\r\n");
  ASSERT_TRUE(RunUntil([&] { return t.lines.size() == 1; }));
  EXPECT_EQ(t.lines[0], "a       c\r\n");
  ASSERT_TRUE(RunUntil([&] { return t.echoed.size() == 15; }));
  EXPECT_EQ(t.echoed, "a       b\b \bc\r\n");
  // Each line of an arrival is edited on its own: a backspace never
  // reaches back over a line end, a tab counts from its own line's start.
  t.echoed.clear();
  t.Send("ab\r\n\bc\r\nxyz\r\n\tq\r\n");
  ASSERT_TRUE(RunUntil([&] { return t.lines.size() == 5; }));
  EXPECT_EQ(t.lines, (V{"a       c\r\n", "ab\r\n", "c\r\n", "xyz\r\n", "        q\r\n"}));
  const std::string shown = "ab\r\nc\r\nxyz\r\n        q\r\n";
  ASSERT_TRUE(RunUntil([&] { return t.echoed.size() >= shown.size(); }));
  EXPECT_EQ(t.echoed, shown);

  LinePair u;
  u.client.SetLineEcho(true);
  u.Send("x\by\r\n");
  ASSERT_TRUE(RunUntil([&] { return u.echoed == "x\by\r\n"; }));
  ASSERT_TRUE(RunUntil([&] { return u.lines.size() == 1; }));
  EXPECT_EQ(u.lines[0], "x\by\r\n");  // echoed unchanged, not edited
}

TEST(LineMode, BehindSocksTheSurplusIsSplitIntoLines) {
  ScriptedProxy p;
  TWSocket c(nullptr);
  V lines;
  c.SetLineMode(true);
  c.OnDataAvailable = [&](TObject*, std::uint16_t) { lines.push_back(c.ReceiveString()); };
  c.AssignAddr("news.example");
  c.AssignPort("119");
  c.SetSocksServer("127.0.0.1");
  c.SetSocksPort(p.Port());
  c.Connect();
  ASSERT_TRUE(p.Expect(3));
  p.Send(Bin({5, 0}));
  ASSERT_TRUE(p.Expect(22));
  p.Send(Bin({5, 0, 0, 1, 1, 2, 3, 4, 0, 1}) + "200 line1\r\nline2\r\npart");
  ASSERT_TRUE(RunUntil([&] { return lines.size() == 2; }));
  p.Send("ial\r\n");
  ASSERT_TRUE(RunUntil([&] { return lines.size() == 3; }));
  EXPECT_EQ(lines, (V{"200 line1\r\n", "line2\r\n", "partial\r\n"}));
  EXPECT_EQ(c.ReadCount(), 27);
}

// A handler that leaves its line unread while the peer sends line ends
// without pause: the layer takes nothing more from the socket (the kernel
// holds it and TCP slows the peer) rather than filling memory, and goes on
// once the line is read.
TEST(LineMode, AnUnreadLineStopsTheIntakeUntilItIsRead) {
  // Two ways to go on: the line read from outside its handler, or line mode
  // turned off.
  for (bool modeOff : {false, true}) {
    FloodServer flood('\n');
    TWSocket c(nullptr);
    int calls = 0;
    std::size_t bytes = 0;
    bool reading = false;
    c.SetLineMode(true);
    c.SetLineEnd("\n");
    c.OnDataAvailable = [&](TObject*, std::uint16_t) {
      ++calls;
      if (!reading) return;
      bytes += c.ReceiveString().size();
      // Enough to show the data flows again; the flood itself never ends.
      if (bytes >= (1u << 20) && c.State() == wsConnected) c.Close();
    };
    c.AssignAddr("127.0.0.1");
    c.AssignPort(flood.Port());
    c.Connect();
    ASSERT_TRUE(RunUntil([&] { return calls > 0; }));
    // Until the loop falls quiet, or the held bytes show the socket is still
    // being drained.
    const int most = c.LineLimit() + (1 << 20);
    bool idle = false;
    for (int round = 0; !idle && c.LineBufferCount() <= most && round < 200; ++round) {
      Application->ProcessMessages();
      idle = !plat::WaitForMessage(50);
    }
    EXPECT_TRUE(idle);
    EXPECT_LE(c.LineBufferCount(), most);
    EXPECT_LE(calls, 2);
    EXPECT_TRUE(flood.Flooding());
    reading = true;
    if (modeOff) {
      c.SetLineMode(false);
    } else {
      EXPECT_EQ(c.ReceiveString(), "\n");
    }
    EXPECT_TRUE(RunUntil([&] { return bytes >= (1u << 20); })) << modeOff;
  }
}

// A handler reads part of a line, turns the mode off, takes the rest raw
// and turns the mode on again: what was left of that line is no longer
// pending, and the next line comes whole.
TEST(LineMode, NoLineStaysPendingAcrossAChangeOfMode) {
  LinePair t;
  V got;
  t.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    const bool on = t.client.LineMode();
    char buf[100];
    int n = t.client.Receive(buf, on && got.empty() ? 2 : sizeof buf);
    got.push_back((on ? "line " : "raw ") +
                  (n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : IntToStr(n)));
    if (got.size() <= 2) t.client.SetLineMode(!on);
  };
  t.Send("abc\r\n");
  ASSERT_TRUE(RunUntil([&] { return got.size() == 2; }));
  t.Send("xyz\r\n");
  ASSERT_TRUE(RunUntil([&] { return got.size() == 3; }));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(got, (V{"line ab", "raw c\r\n", "line xyz\r\n"}));
}

// The held bytes are split afresh with a line end changed by a handler.
TEST(LineMode, ALineEndChangedInAHandlerSplitsTheRest) {
  LinePair t;
  t.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    t.lines.push_back(t.client.ReceiveString());
    if (t.lines.size() == 1) t.client.SetLineEnd("\n");
  };
  t.Send("a\r\nb\nc\r\nd\n");
  ASSERT_TRUE(RunUntil([&] { return t.lines.size() == 4; }));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(t.lines, (V{"a\r\n", "b\n", "c\r\n", "d\n"}));
}

// A handler that pauses the socket stops the lines; Resume goes on.
TEST(LineMode, PausedByAHandlerTheLinesWaitForResume) {
  LinePair t;
  t.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    t.lines.push_back(t.client.ReceiveString());
    if (t.lines.size() == 1) t.client.Pause();
  };
  t.Send("a\r\nb\r\nc\r\n");
  ASSERT_TRUE(RunUntil([&] { return !t.lines.empty(); }));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(t.lines, V{"a\r\n"});
  t.client.Resume();
  ASSERT_TRUE(RunUntil([&] { return t.lines.size() == 3; }));
  EXPECT_EQ(t.lines, (V{"a\r\n", "b\r\n", "c\r\n"}));
}

// A handler that closes the connection: the lines still held are dropped,
// never handed to it from inside its own Close.
TEST(LineMode, ClosingInAHandlerDropsTheHeldLines) {
  LinePair t;
  int depth = 0, deepest = 0;
  V events;
  t.client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    deepest = std::max(deepest, ++depth);
    events.push_back(t.client.ReceiveString());
    if (events.back() == "QUIT\r\n") t.client.Close();
    --depth;
  };
  t.client.OnSessionClosed = [&](TObject*, std::uint16_t) { events.push_back("closed"); };
  t.Send("a\r\nQUIT\r\nb\r\nlast");
  ASSERT_TRUE(RunUntil([&] { return t.client.State() == wsClosed; }));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(deepest, 1);
  EXPECT_EQ(events, (V{"a\r\n", "QUIT\r\n", "closed"}));
}

// A socket whose connection can be ended the way a failed library call
// ends it (the socket error report closes on 10054 and 10057).
class Failable : public TWSocket {
 public:
  using TWSocket::TWSocket;
  void FailWith(int error) {
    OnError = [](TObject*) {};  // reported, not raised
    wsock::WSASetLastError(error);
    ReportSocketError("recv");
  }
};

// What a connection leaves held (a line begun, SOCKS surplus) goes with it
// however it ends: nothing of it reaches the next connection.
TEST(HeldBytes, DieWithAConnectionLostOrReplaced) {
  LoopbackServer server;
  for (int error : {plat::WSAECONNRESET, plat::WSAENOTCONN}) {
    Failable c(nullptr);
    V lines;
    c.SetLineMode(true);
    c.OnDataAvailable = [&](TObject*, std::uint16_t) { lines.push_back(c.ReceiveString()); };
    for (const char* sent : {"old", "new\r\n"}) {
      std::size_t peers = server.peers.size();
      c.AssignAddr("127.0.0.1");
      c.AssignPort(server.Port());
      c.Connect();
      ASSERT_TRUE(
          RunUntil([&] { return c.State() == wsConnected && server.peers.size() > peers; }));
      server.peers.back()->SendString(sent);
      ASSERT_TRUE(
          RunUntil([&] { return *sent == 'o' ? c.LineBufferCount() == 3 : !lines.empty(); }));
      if (!lines.empty()) break;
      c.FailWith(error);
      ASSERT_EQ(c.State(), wsClosed);
    }
    EXPECT_EQ(lines, V{"new\r\n"}) << error;
  }

  // A server side socket given a second accepted connection by Dup.
  TWSocket listener(nullptr);
  std::vector<TSocketHandle> accepted;
  listener.OnSessionAvailable = [&](TObject*, std::uint16_t) {
    accepted.push_back(listener.Accept());
  };
  listener.AssignAddr("127.0.0.1");
  listener.AssignPort("0");
  listener.Listen();
  TWSocket serving(nullptr), first(nullptr), second(nullptr);
  V lines;
  serving.SetLineMode(true);
  serving.OnDataAvailable = [&](TObject*, std::uint16_t) {
    lines.push_back(serving.ReceiveString());
  };
  for (TWSocket* client : {&first, &second}) {
    std::size_t before = accepted.size();
    client->AssignAddr("127.0.0.1");
    client->AssignPort(listener.ReadBoundPort());
    client->Connect();
    ASSERT_TRUE(RunUntil([&] { return accepted.size() > before; }));
    serving.Dup(accepted.back());
    client->SendString(client == &first ? "old" : "new\r\n");
    ASSERT_TRUE(RunUntil(
        [&] { return client == &first ? serving.LineBufferCount() == 3 : !lines.empty(); }));
  }
  EXPECT_EQ(lines, V{"new\r\n"});

  // SOCKS surplus that the handler left unread.
  ScriptedProxy p;
  Failable s(nullptr);
  std::string data;
  bool reading = false;
  s.OnDataAvailable = [&](TObject*, std::uint16_t) {
    if (reading) data += s.ReceiveString();
  };
  s.AssignAddr("news.example");
  s.AssignPort("119");
  s.SetSocksServer("127.0.0.1");
  s.SetSocksPort(p.Port());
  s.Connect();
  ASSERT_TRUE(p.Expect(3));
  p.Send(Bin({5, 0}));
  ASSERT_TRUE(p.Expect(22));
  p.Send(Bin({5, 0, 0, 1, 1, 2, 3, 4, 0, 1}) + "surplus of the proxy");
  EXPECT_TRUE(PumpUntilIdle());
  s.FailWith(plat::WSAECONNRESET);
  s.SetSocksServer("");
  reading = true;
  std::size_t peers = server.peers.size();
  s.AssignAddr("127.0.0.1");
  s.AssignPort(server.Port());
  s.Connect();
  ASSERT_TRUE(RunUntil([&] { return s.State() == wsConnected && server.peers.size() > peers; }));
  server.peers.back()->SendString("direct");
  ASSERT_TRUE(RunUntil([&] { return data.size() >= 6; }));
  EXPECT_EQ(data, "direct");
}

}  // namespace
