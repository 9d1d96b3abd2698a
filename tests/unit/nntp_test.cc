// The NNTP client against a scripted server in the same event loop.
#include <gtest/gtest.h>

#include "net/WSockLib.h"
#include "nntp/NntpCli.h"
#include "tests/unit/failing_socklib.h"
#include "tests/unit/nntp_test_util.h"

namespace {

struct Done {
  TNntpRequest rq;
  int error;
  bool operator==(const Done& o) const { return rq == o.rq && error == o.error; }
};

std::ostream& operator<<(std::ostream& os, const Done& d) {
  return os << "{rq " << static_cast<int>(d.rq) << ", error " << d.error << "}";
}

class NntpTest : public ::testing::Test {
 protected:
  ScriptedServer server;
  TNntpCli client{nullptr};
  std::vector<Done> done;
  std::vector<TNntpState> states;
  bool inCall = false;
  bool reportedInCall = false;

  void SetUp() override {
    client.SetHost("127.0.0.1");
    client.SetPort(server.Port());
    client.OnRequestDone = [this](TObject*, TNntpRequest rq, std::uint16_t e) {
      reportedInCall = reportedInCall || inCall;
      done.push_back({rq, e});
    };
    client.OnStateChange = [this](TObject*) { states.push_back(client.State()); };
  }
  bool ConnectReady() {
    inCall = true;
    client.Connect();
    inCall = false;
    return RunUntil(
               [&] { return client.State() == nntpReady || client.State() == nntpNotConnected; }) &&
           client.State() == nntpReady;
  }
  void PostAndWait(TStream& article) {
    inCall = true;
    client.Post(&article);
    inCall = false;
    ASSERT_TRUE(RunUntil([&] { return !done.empty(); }));
    PumpUntilIdle();
  }
};

std::string Bytes(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('A' + i % 23);
  return s;
}

void Fill(TMemoryStream& stream, const std::string& bytes) {
  stream.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  stream.SetPosition(0);
}

// Connects a client of the test's own to a scripted server, recording every
// completion in `d`; true once the client is ready.
[[nodiscard]] bool ConnectRecording(TNntpCli& c, ScriptedServer& s, std::vector<Done>& d) {
  c.OnRequestDone = [&d](TObject*, TNntpRequest rq, std::uint16_t e) { d.push_back({rq, e}); };
  c.SetHost("127.0.0.1");
  c.SetPort(s.Port());
  c.Connect();
  return RunUntil([&] { return c.State() == nntpReady; });
}

// Calls a function every `ms` milliseconds from the event loop, through a
// timer of the platform's message queue.
class Ticker final : private plat::MessageTarget {
 public:
  Ticker(unsigned ms, std::function<void()> tick) : tick_(std::move(tick)) {
    window_ = plat::CreateHiddenWindow("KestrunTestTicker", this);
    plat::SetWindowTimer(window_, 1, ms);
  }
  ~Ticker() { plat::DestroyHiddenWindow(window_); }

 private:
  std::intptr_t HandleMessage(std::uint32_t msg, std::uintptr_t, std::intptr_t) override {
    if (msg == plat::kWmTimer) tick_();
    return 0;
  }
  std::function<void()> tick_;
  plat::WindowHandle window_;
};

TEST_F(NntpTest, FreshClientDefaults) {
  EXPECT_EQ(client.StatusCode(), 503);
  EXPECT_EQ(client.ArticleNumber(), -1);
  EXPECT_EQ(client.State(), nntpNotConnected);
  EXPECT_EQ(client.InactivityTimeout(), 0);  // the component waits for ever unless told
  EXPECT_THROW(client.Quit(), NntpException);
  TMemoryStream m;
  try {
    client.Post(&m);
    FAIL();
  } catch (const NntpException& e) {
    EXPECT_EQ(e.Message(), "Not ready for POST");
  }
}

TEST_F(NntpTest, AnyGreetingMakesTheClientReady) {
  for (const char* greeting : {"200 ok\r\n", "201 no posting\r\n", "502 go away\r\n"}) {
    ScriptedServer s;
    s.greeting = greeting;
    TNntpCli c(nullptr);
    std::vector<TNntpState> seen;
    int connected = 0, requests = 0;
    c.OnStateChange = [&](TObject*) { seen.push_back(c.State()); };
    c.OnSessionConnected = [&](TObject*, std::uint16_t e) { connected += e == 0; };
    c.OnRequestDone = [&](TObject*, TNntpRequest, std::uint16_t) { ++requests; };
    c.SetHost("127.0.0.1");
    c.SetPort(s.Port());
    c.Connect();
    ASSERT_TRUE(RunUntil([&] { return c.State() == nntpReady; })) << greeting;
    PumpUntilIdle();
    int code = std::atoi(greeting);
    EXPECT_EQ(c.StatusCode(), code);
    EXPECT_EQ(c.PostingPermited(), code == 200);
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(requests, 0);  // a successful connect is not a reported request
    EXPECT_EQ(seen, (std::vector<TNntpState>{nntpDnsLookup, nntpWaitingBanner, nntpReady}));
    EXPECT_THROW(c.Connect(), NntpException);
  }
}

TEST_F(NntpTest, AGreetingWithoutAStatusIsNoSession) {
  for (const char* greeting : {"SSH-2.0-OpenSSH_9.2\r\n", "0200 ready\r\n", "200ready\r\n"}) {
    ScriptedServer s;
    s.greeting = greeting;
    TNntpCli c(nullptr);
    std::vector<Done> d;
    c.OnRequestDone = [&](TObject*, TNntpRequest rq, std::uint16_t e) { d.push_back({rq, e}); };
    c.SetHost("127.0.0.1");
    c.SetPort(s.Port());
    c.Connect();
    ASSERT_TRUE(RunUntil([&] { return !d.empty(); })) << greeting;
    EXPECT_EQ(d, (std::vector<Done>{{nntpConnect, nntpErrorNoStatus}})) << greeting;
    EXPECT_EQ(c.State(), nntpNotConnected) << greeting;
    EXPECT_EQ(c.LastResponse() + "\r\n", greeting);
  }
}

TEST_F(NntpTest, LinesAreSplitAtCrLfAcrossReads) {
  server.greeting = "";
  std::vector<std::string> unsolicited;
  client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    unsolicited.push_back(client.LastResponse());
  };
  std::string seenBytes;
  client.OnDisplay = [&](TObject*, const char* msg, std::int32_t len) {
    EXPECT_EQ(msg[len], '\0');  // the new bytes are followed by a 0 byte
    seenBytes.append(msg, static_cast<std::size_t>(len));
  };
  client.Connect();
  ASSERT_TRUE(RunUntil([&] { return server.peer != nullptr; }));
  server.peer->SendString("200 hello\r");
  ASSERT_TRUE(RunUntil([&] { return seenBytes.size() == 10; }));
  EXPECT_EQ(client.State(), nntpWaitingBanner);  // a CR alone ends nothing
  server.peer->SendString("\nline one\nstill one\r\nline two\r\npart");
  ASSERT_TRUE(RunUntil([&] { return unsolicited.size() == 2; }));
  EXPECT_EQ(client.StatusCode(), 200);
  EXPECT_EQ(unsolicited, (std::vector<std::string>{"line one\nstill one", "line two"}));
  // A NUL byte inside a line hides nothing after it.
  server.peer->Send(std::string("ial\0x\r\nnext\r\n", 13).data(), 13);
  ASSERT_TRUE(RunUntil([&] { return unsolicited.size() == 4; }));
  EXPECT_EQ(unsolicited[2], std::string("partial\0x", 9));
  EXPECT_EQ(unsolicited[3], "next");
}

TEST_F(NntpTest, OverlongLineIsCutNotTakenForAClose) {
  ASSERT_TRUE(ConnectReady());
  std::vector<std::string> unsolicited;
  client.OnDataAvailable = [&](TObject*, std::uint16_t) {
    unsolicited.push_back(client.LastResponse());
  };
  server.peer->SendString(std::string(10000, 'x') + "\r\nafter\r\n");
  ASSERT_TRUE(RunUntil([&] { return unsolicited.size() == 2; }));
  EXPECT_EQ(unsolicited[0], std::string(4095, 'x'));
  EXPECT_EQ(unsolicited[1], "after");
  EXPECT_EQ(client.State(), nntpReady);
}

// The stream goes out unchanged, and the end marker adds no line: after a
// line end (CR LF or a lone LF, also split over two blocks of 4096 bytes)
// it is "." CR LF alone.
TEST_F(NntpTest, PostSendsTheStreamUnchangedAndTheEndMarker) {
  std::string lfAtBlockEnd = Bytes(4095) + "\n";
  std::string crLfOverBlocks = Bytes(4095) + "\r\n";  // CR ends the first block
  struct Case {
    const char* what;
    std::string body;
    std::string marker;
  } cases[] = {
      {"empty", "", ".\r\n"},
      {"CR LF at the end", "one\r\n.. two\r\n", ".\r\n"},
      {"lone LF at the end", "one\nlast\n", ".\r\n"},
      {"no line end", "one\r\nlast", "\r\n.\r\n"},
      {"lone CR at the end", "one\r\nlast\r", "\r\n.\r\n"},
      {"one block", Bytes(4096), "\r\n.\r\n"},
      {"one block and a byte", Bytes(4097), "\r\n.\r\n"},
      {"LF at the end of the first block only", lfAtBlockEnd + "x", "\r\n.\r\n"},
      {"LF at the end of the only block", lfAtBlockEnd, ".\r\n"},
      {"CR LF over two blocks", crLfOverBlocks, ".\r\n"},
      {"many blocks", Bytes(100000), "\r\n.\r\n"},
  };
  for (const Case& k : cases) {
    ScriptedServer s;
    TNntpCli c(nullptr);
    std::vector<Done> d;
    ASSERT_TRUE(ConnectRecording(c, s, d));
    TMemoryStream article;
    Fill(article, k.body);
    c.Post(&article);
    EXPECT_TRUE(d.empty());
    ASSERT_TRUE(RunUntil([&] { return !d.empty(); })) << k.what;
    EXPECT_EQ(d, (std::vector<Done>{{nntpPost, 0}})) << k.what;
    EXPECT_TRUE(s.ArticleBytes() == k.body + k.marker) << k.what;
    EXPECT_EQ(c.StatusCode(), 240);
    EXPECT_EQ(c.LastResponse(), "240 article posted");
    EXPECT_EQ(c.State(), nntpReady);
    EXPECT_EQ(c.WSocket()->OnDataSent, nullptr);
  }
}

TEST_F(NntpTest, RefusedAndRejectedPosts) {
  server.postReply = "440 posting not allowed\r\n";
  ASSERT_TRUE(ConnectReady());
  TMemoryStream article;
  Fill(article, "body\r\n");
  PostAndWait(article);
  EXPECT_EQ(done, (std::vector<Done>{{nntpPost, 440}}));
  EXPECT_FALSE(reportedInCall);
  EXPECT_EQ(client.State(), nntpReady);
  EXPECT_EQ(client.LastResponse(), "440 posting not allowed");
  EXPECT_EQ(article.Position(), 0);  // nothing was read

  server.postReply = "340 go\r\n";
  server.finalReply = "441 437 Bad header\r\n";
  done.clear();
  PostAndWait(article);
  EXPECT_EQ(done, (std::vector<Done>{{nntpPost, 441}}));
  EXPECT_EQ(client.StatusCode(), 441);
}

// Success is 340, the whole article with its end marker, then 240. A 240
// that comes any earlier, or a reply without a status, is an error of the
// POST, never success.
TEST_F(NntpTest, PostSucceedsOnlyWithTheWholeArticleAnswered240) {
  struct Case {
    const char* what;
    std::string postReply, earlyReply, finalReply;
    std::size_t size;
    int error;
    bool articleSent;  // the whole article and its end marker reached the server
    bool stillReady;   // the session goes on
  } cases[] = {
      {"240 instead of 340", "240 posted\r\n", "", "", 100, 240, false, true},
      {"240 with 340 in one segment", "340 go\r\n240 posted\r\n", "", "", 100, 240, false, false},
      {"240 early in a large article", "340 go\r\n", "240 posted\r\n", "", 4000000, 240, false,
       false},
      {"441 early in a large article", "340 go\r\n", "441 too large\r\n", "", 4000000, 441, false,
       false},
      {"no status for POST", "hello there\r\n", "", "", 100, nntpErrorNoStatus, false, true},
      {"no status at the end", "340 go\r\n", "", "garbage\r\n", 100, nntpErrorNoStatus, true, true},
      {"a number no reply has", "340 go\r\n", "", "2400 posted\r\n", 100, nntpErrorNoStatus, true,
       true},
      {"240 after a 0", "340 go\r\n", "", "0240 ok\r\n", 100, nntpErrorNoStatus, true, true},
      {"240 after a sign", "340 go\r\n", "", "+240 ok\r\n", 100, nntpErrorNoStatus, true, true},
      {"240 glued to text", "340 go\r\n", "", "240ok\r\n", 100, nntpErrorNoStatus, true, true},
      {"240 after a blank", "340 go\r\n", "", " 240 ok\r\n", 100, nntpErrorNoStatus, true, true},
      {"340 glued to text", "340go\r\n", "", "", 100, nntpErrorNoStatus, false, true},
      {"240 at the end", "340 go\r\n", "", "240 posted\r\n", 100, 0, true, true},
  };
  for (const Case& k : cases) {
    ScriptedServer s;
    s.postReply = k.postReply;
    s.earlyReply = k.earlyReply;
    s.finalReply = k.finalReply;
    TNntpCli c(nullptr);
    std::vector<Done> d;
    ASSERT_TRUE(ConnectRecording(c, s, d));
    auto article = std::make_unique<TMemoryStream>();
    std::string body = Bytes(k.size) + "\r\n";
    Fill(*article, body);
    c.Post(article.get());
    ASSERT_TRUE(RunUntil([&] { return !d.empty(); })) << k.what;
    article.reset();  // the caller's stream is gone: nothing may touch it now
    PumpUntilIdle();
    EXPECT_EQ(d, (std::vector<Done>{{nntpPost, k.error}})) << k.what;
    EXPECT_EQ(s.ArticleBytes() == body + ".\r\n", k.articleSent) << k.what;
    EXPECT_EQ(c.State(), k.stillReady ? nntpReady : nntpNotConnected) << k.what;
    EXPECT_EQ(c.WSocket()->OnDataSent, nullptr) << k.what;
  }
}

TEST_F(NntpTest, ServerClosingEndsTheOpenRequest) {
  server.greeting = "";
  client.Connect();
  ASSERT_TRUE(RunUntil([&] { return server.peer != nullptr; }));
  server.peer->Abort();  // closes before the greeting: no session, so no success
  ASSERT_TRUE(RunUntil([&] { return !done.empty(); }));
  EXPECT_EQ(done, (std::vector<Done>{{nntpConnect, 10054}}));
  EXPECT_EQ(client.State(), nntpNotConnected);
}

TEST_F(NntpTest, ServerClosingDuringTransferOrBeforeTheFinalReply) {
  for (bool duringTransfer : {true, false}) {
    ScriptedServer s;
    s.closeOnPostData = duringTransfer;
    s.finalReply = "";
    TNntpCli c(nullptr);
    std::vector<Done> d;
    ASSERT_TRUE(ConnectRecording(c, s, d));
    auto article = std::make_unique<TMemoryStream>();
    std::string body = Bytes(duringTransfer ? 2000000 : 10);
    Fill(*article, body);
    c.Post(article.get());
    if (!duringTransfer) {
      ASSERT_TRUE(RunUntil([&] { return s.ArticleBytes().size() == body.size() + 5; }));
      s.peer->Abort();
    }
    ASSERT_TRUE(RunUntil([&] { return !d.empty(); }));
    article.reset();  // the caller's stream is gone: nothing may touch it now
    PumpUntilIdle();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].rq, nntpPost);
    EXPECT_NE(d[0].error, 0) << "a POST cut off by the server's close is not a success";
    EXPECT_EQ(c.State(), nntpNotConnected);
    EXPECT_EQ(c.WSocket()->OnDataSent, nullptr);
  }
}

// A connection that fails under the article ends the POST with the
// socket's own error, whether a send fails or the write notification for a
// queued block carries the error, and LastResponse keeps the server's last
// line: no refusal is made up.
TEST(NntpPostSendFailure, EndsWithTheSocketsErrorNotARefusal) {
  for (bool notified : {false, true}) {
    FailingSocketLibrary library;
    ScriptedServer s;
    s.finalReply = "";
    s.answer = [&](const std::string& line) {
      // From here the second send is the client's first article block (the
      // first is this answer).
      library.FailSend(2, notified ? plat::WSAEWOULDBLOCK : plat::WSAECONNRESET);
      return std::string(line == "POST" ? "340 send it\r\n" : "500 unknown\r\n");
    };
    TNntpCli c(nullptr);
    std::vector<Done> d;
    ASSERT_TRUE(ConnectRecording(c, s, d));
    TMemoryStream article;
    Fill(article, Bytes(300000));
    c.Post(&article);
    if (notified) {
      ASSERT_TRUE(RunUntil([&] { return c.WSocket()->SendQueueSize() > 0; }));
      plat::PostWindowMessage(c.WSocket()->Handle(), MsgSocketEvent, c.WSocket()->HSocket(),
                              plat::PackNotification(plat::kFdWrite, plat::WSAECONNRESET));
    }
    ASSERT_TRUE(RunUntil([&] { return !d.empty(); }));
    PumpUntilIdle();
    EXPECT_EQ(d, (std::vector<Done>{{nntpPost, plat::WSAECONNRESET}})) << "notified " << notified;
    EXPECT_EQ(c.LastResponse(), "340 send it") << "notified " << notified;
  }
}

TEST_F(NntpTest, AbortDuringTransferReportsOnlyTheAbort) {
  server.finalReply = "";
  ASSERT_TRUE(ConnectReady());
  auto article = std::make_unique<TMemoryStream>();
  Fill(*article, Bytes(3000000));
  client.Post(article.get());
  ASSERT_TRUE(RunUntil([&] { return server.ArticleBytes().size() > 10000; }));
  bool sessionClosed = false;
  client.OnSessionClosed = [&](TObject*, std::uint16_t) { sessionClosed = done.empty(); };
  client.Abort();
  article.reset();
  EXPECT_TRUE(sessionClosed);  // at once, before the abort is reported
  EXPECT_EQ(client.State(), nntpNotConnected);
  EXPECT_EQ(client.LastResponse(), "205 Closing connection - goodbye");
  PumpUntilIdle();
  EXPECT_EQ(done, (std::vector<Done>{{nntpAbort, 0}}));

  // A new session after the abort must not touch the old stream.
  done.clear();
  ASSERT_TRUE(ConnectReady());
  PumpUntilIdle();
  EXPECT_TRUE(done.empty());
}

TEST_F(NntpTest, AbortWhileLookingUpStartsNoConnection) {
  client.SetHost("localhost");
  client.Connect();
  client.Abort();
  // The lookup runs on a helper thread of the socket library: its end, within
  // the time a lookup of localhost takes, must start nothing.
  EXPECT_TRUE(PumpUntilIdle(300));
  EXPECT_EQ(done, (std::vector<Done>{{nntpAbort, 0}}));
  EXPECT_EQ(client.State(), nntpNotConnected);
  EXPECT_EQ(server.peer, nullptr);
}

TEST_F(NntpTest, QuitIsReportedOnceAndTheCloseAfterIsNot) {
  ASSERT_TRUE(ConnectReady());
  int closes = 0;
  client.OnSessionClosed = [&](TObject*, std::uint16_t) { ++closes; };
  client.OnRequestDone = [&](TObject*, TNntpRequest rq, std::uint16_t e) {
    done.push_back({rq, e});
    if (rq == nntpQuit) server.peer->Abort();  // the server hangs up after its answer
  };
  client.Quit();
  bool ok = RunUntil([&] { return closes >= 1; });
  ASSERT_TRUE(ok);
  PumpUntilIdle();
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(done, (std::vector<Done>{{nntpQuit, 0}}));
  EXPECT_EQ(client.StatusCode(), 205);
  EXPECT_EQ(client.State(), nntpNotConnected);
}

TEST_F(NntpTest, RefusedConnectSkipsTheReadyState) {
  ClosedPort closed;
  client.SetPort(closed.Port());
  client.Connect();
  ASSERT_TRUE(RunUntil([&] { return !done.empty(); }));
  EXPECT_EQ(done, (std::vector<Done>{{nntpConnect, 10061}}));
  EXPECT_EQ(states, (std::vector<TNntpState>{nntpDnsLookup, nntpWaitingBanner, nntpNotConnected}));
}

// A connect that fails inside the lookup's event reports what failed there,
// not an error number left over from something earlier.
TEST_F(NntpTest, ConnectFailingInTheLookupEventReportsItsOwnError) {
  ASSERT_TRUE(ConnectReady());
  client.Abort();
  PumpUntilIdle();
  struct Case {
    std::string port;
    int error;
  } cases[] = {
      {"no-such-service-kestrun", 11004},  // the library has no data for that name
      {std::string(40, '9'), 10022},       // the socket refuses the text itself
  };
  for (const Case& k : cases) {
    wsock::WSASetLastError(10038);  // as an earlier failure leaves it
    client.SetPort(k.port);
    done.clear();
    client.Connect();
    ASSERT_TRUE(RunUntil([&] { return !done.empty(); }));
    EXPECT_EQ(done, (std::vector<Done>{{nntpConnect, k.error}})) << k.port;
    EXPECT_EQ(client.State(), nntpNotConnected);
  }
}

// The inactivity limit ends a wait on a silent server as a lost connection
// and keeps the server's last line; bytes that keep coming keep it waiting.
TEST_F(NntpTest, InactivityLimitEndsWaitsOnASilentServer) {
  server.greeting = "";
  client.SetInactivityTimeout(100);
  client.Connect();
  ASSERT_TRUE(RunUntil([&] { return !done.empty(); }));
  EXPECT_EQ(done, (std::vector<Done>{{nntpConnect, nntpErrorInactive}}));
  EXPECT_EQ(client.State(), nntpNotConnected);
  ASSERT_TRUE(RunUntil([&] { return server.closedByClient; }));

  ScriptedServer s;
  s.finalReply = "";  // takes the whole article and says nothing
  TNntpCli c(nullptr);
  std::vector<Done> d;
  ASSERT_TRUE(ConnectRecording(c, s, d));
  c.SetInactivityTimeout(100);  // counts from the next wait on
  TMemoryStream article;
  Fill(article, Bytes(20000) + "\r\n");
  c.Post(&article);
  ASSERT_TRUE(RunUntil([&] { return !d.empty(); }));
  EXPECT_EQ(d, (std::vector<Done>{{nntpPost, nntpErrorInactive}}));
  EXPECT_TRUE(ScriptedServer::Ended(s.ArticleBytes()));
  EXPECT_EQ(c.LastResponse(), "340 send it");
  EXPECT_EQ(c.State(), nntpNotConnected);
}

TEST_F(NntpTest, InactivityLimitCountsArticleBytesGoingOut) {
  // The server reads the article slowly and says nothing until its end:
  // the bytes that leave keep the POST alive, however long it takes.
  client.SetInactivityTimeout(200);
  ASSERT_TRUE(ConnectReady());
  server.peer->Pause();
  // Small system buffers on both ends, so that the client's sending follows
  // the server's reading instead of filling megabytes of buffers at once.
  int small = 32 * 1024;
  const char* option = reinterpret_cast<const char*>(&small);
  wsock::setsockopt(server.peer->HSocket(), plat::kSolSocket, plat::kSoRcvBuf, option,
                    sizeof small);
  wsock::setsockopt(client.WSocket()->HSocket(), plat::kSolSocket, plat::kSoSndBuf, option,
                    sizeof small);
  int readingTicks = 0;
  TMemoryStream article;
  Ticker ticker(20, [&] {
    // Once the client has handed everything over, what the system still
    // buffers is read at once: the client cannot see those bytes leave.
    bool allHandedOver = article.Position() == article.Size();
    readingTicks += server.ReadSome(allHandedOver ? 1u << 30 : 128 * 1024) > 0;
  });
  Fill(article, Bytes(1000000) + "\r\n");
  client.Post(&article);
  ASSERT_TRUE(RunUntil([&] { return !done.empty(); }, 30000));
  EXPECT_EQ(done, (std::vector<Done>{{nntpPost, 0}}));
  // The transfer did outlast the limit (ticks come at least 20 ms apart).
  EXPECT_GT(readingTicks * 20, client.InactivityTimeout());
}

TEST_F(NntpTest, InactivityLimitCountsFromTheLastByte) {
  // A greeting that trickles in a byte at a time, each well within the
  // limit, while the whole takes several times the limit.
  server.greeting = "";
  const std::string greeting = "200 steady\r\n";
  std::size_t sent = 0;
  client.SetInactivityTimeout(150);
  client.Connect();
  ASSERT_TRUE(RunUntil([&] { return server.peer != nullptr; }));
  {
    Ticker ticker(20, [&] {
      if (sent < greeting.size()) server.peer->Send(&greeting[sent++], 1);
    });
    ASSERT_TRUE(RunUntil([&] { return client.State() != nntpWaitingBanner; }));
  }
  EXPECT_EQ(client.State(), nntpReady);
  EXPECT_EQ(client.LastResponse(), "200 steady");
  EXPECT_TRUE(done.empty());
  // Ready: no request waits, so no limit runs out.
  PumpUntilIdle();
  EXPECT_TRUE(done.empty());
}

}  // namespace
