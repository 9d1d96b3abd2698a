// The NNTP client against a scripted server in the same event loop.
#include <gtest/gtest.h>

#include "nntp/NntpCli.h"
#include "tests/unit/net_test_util.h"

namespace {

// A news server whose answers a test writes: a greeting, then one answer
// per command, and the final answer once the end marker of a POST is in.
class ScriptedServer {
 public:
  std::string greeting = "200 scripted server ready\r\n";
  std::string postReply = "340 send it\r\n";
  std::string finalReply = "240 article posted\r\n";
  bool closeOnPostData = false;  // drop the connection once article data arrives
  std::string received;          // every byte the client sent
  TWSocket* peer = nullptr;

  ScriptedServer() {
    server_.OnAccept = [this](TWSocket& p) {
      p.OnDataAvailable = [this, &p](TObject*, std::uint16_t) {
        char buf[8192];
        int n = p.Receive(buf, sizeof buf);
        if (n <= 0) return;
        received.append(buf, static_cast<std::size_t>(n));
        React(p);
      };
    };
    server_.OnReady = [this](TWSocket& p) {
      peer = &p;
      if (!greeting.empty()) p.SendString(greeting);
    };
  }
  const std::string& Port() const { return server_.Port(); }
  // What came after "POST\r\n".
  std::string ArticleBytes() const {
    std::size_t at = received.find("POST\r\n");
    return at == std::string::npos ? "" : received.substr(at + 6);
  }

 private:
  void React(TWSocket& p) {
    if (!posting_ && received.find("POST\r\n") != std::string::npos) {
      posting_ = true;
      p.SendString(postReply);
      if (postReply.rfind("340", 0) != 0) posting_ = false;
    }
    if (!posting_) {
      if (received.size() >= 6 && received.compare(received.size() - 6, 6, "QUIT\r\n") == 0) {
        p.SendString("205 bye\r\n");
      }
      return;
    }
    std::string article = ArticleBytes();
    if (closeOnPostData && !article.empty()) {
      p.Abort();
      posting_ = false;
      return;
    }
    if (article.size() >= 5 && article.compare(article.size() - 5, 5, "\r\n.\r\n") == 0) {
      posting_ = false;
      if (!finalReply.empty()) p.SendString(finalReply);
    }
  }
  LoopbackServer server_;
  bool posting_ = false;
};

struct Done {
  TNntpRequest rq;
  int error;
  bool operator==(const Done& o) const { return rq == o.rq && error == o.error; }
};

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
    Settle(50);
  }
};

TEST_F(NntpTest, FreshClientDefaults) {
  EXPECT_EQ(client.StatusCode(), 503);
  EXPECT_EQ(client.ArticleNumber(), -1);
  EXPECT_EQ(client.State(), nntpNotConnected);
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
    Settle(30);
    int code = std::atoi(greeting);
    EXPECT_EQ(c.StatusCode(), code);
    EXPECT_EQ(c.PostingPermited(), code == 200);
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(requests, 0);  // a successful connect is not a reported request
    EXPECT_EQ(seen, (std::vector<TNntpState>{nntpDnsLookup, nntpWaitingBanner, nntpReady}));
    EXPECT_THROW(c.Connect(), NntpException);
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

std::string Bytes(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('A' + i % 23);
  return s;
}

TEST_F(NntpTest, PostSendsTheStreamUnchangedAndTheEndMarker) {
  for (std::size_t size : {0u, 4096u, 4097u, 100000u}) {
    ScriptedServer s;
    TNntpCli c(nullptr);
    std::vector<Done> d;
    c.OnRequestDone = [&](TObject*, TNntpRequest rq, std::uint16_t e) { d.push_back({rq, e}); };
    c.SetHost("127.0.0.1");
    c.SetPort(s.Port());
    c.Connect();
    ASSERT_TRUE(RunUntil([&] { return c.State() == nntpReady; }));
    TMemoryStream article;
    std::string body = Bytes(size);
    article.WriteBuffer(body.data(), static_cast<std::int32_t>(body.size()));
    article.SetPosition(0);
    c.Post(&article);
    EXPECT_TRUE(d.empty());
    ASSERT_TRUE(RunUntil([&] { return !d.empty(); })) << size;
    EXPECT_EQ(d, (std::vector<Done>{{nntpPost, 0}}));
    EXPECT_TRUE(s.ArticleBytes() == body + "\r\n.\r\n") << size;
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
  article.WriteBuffer("body\r\n", 6);
  article.SetPosition(0);
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

TEST_F(NntpTest, ServerClosingEndsTheOpenRequest) {
  server.greeting = "";
  client.Connect();
  ASSERT_TRUE(RunUntil([&] { return server.peer != nullptr; }));
  server.peer->Abort();  // closes before the greeting
  ASSERT_TRUE(RunUntil([&] { return !done.empty(); }));
  EXPECT_EQ(done, (std::vector<Done>{{nntpConnect, 0}}));
  EXPECT_EQ(client.State(), nntpNotConnected);
}

TEST_F(NntpTest, ServerClosingDuringTransferOrBeforeTheFinalReply) {
  for (bool duringTransfer : {true, false}) {
    ScriptedServer s;
    s.closeOnPostData = duringTransfer;
    s.finalReply = "";
    TNntpCli c(nullptr);
    std::vector<Done> d;
    c.OnRequestDone = [&](TObject*, TNntpRequest rq, std::uint16_t e) { d.push_back({rq, e}); };
    c.SetHost("127.0.0.1");
    c.SetPort(s.Port());
    c.Connect();
    ASSERT_TRUE(RunUntil([&] { return c.State() == nntpReady; }));
    auto article = std::make_unique<TMemoryStream>();
    std::string body = Bytes(duringTransfer ? 2000000 : 10);
    article->WriteBuffer(body.data(), static_cast<std::int32_t>(body.size()));
    article->SetPosition(0);
    c.Post(article.get());
    if (!duringTransfer) {
      ASSERT_TRUE(RunUntil([&] { return s.ArticleBytes().size() == body.size() + 5; }));
      s.peer->Abort();
    }
    ASSERT_TRUE(RunUntil([&] { return !d.empty(); }));
    article.reset();  // the caller's stream is gone: nothing may touch it now
    Settle(50);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].rq, nntpPost);
    EXPECT_EQ(c.State(), nntpNotConnected);
    EXPECT_EQ(c.WSocket()->OnDataSent, nullptr);
  }
}

TEST_F(NntpTest, AbortDuringTransferReportsOnlyTheAbort) {
  server.finalReply = "";
  ASSERT_TRUE(ConnectReady());
  auto article = std::make_unique<TMemoryStream>();
  std::string body = Bytes(3000000);
  article->WriteBuffer(body.data(), static_cast<std::int32_t>(body.size()));
  article->SetPosition(0);
  client.Post(article.get());
  ASSERT_TRUE(RunUntil([&] { return server.ArticleBytes().size() > 10000; }));
  bool sessionClosed = false;
  client.OnSessionClosed = [&](TObject*, std::uint16_t) { sessionClosed = done.empty(); };
  client.Abort();
  article.reset();
  EXPECT_TRUE(sessionClosed);  // at once, before the abort is reported
  EXPECT_EQ(client.State(), nntpNotConnected);
  EXPECT_EQ(client.LastResponse(), "205 Closing connection - goodbye");
  Settle(100);
  EXPECT_EQ(done, (std::vector<Done>{{nntpAbort, 0}}));

  // A new session after the abort must not touch the old stream.
  done.clear();
  ASSERT_TRUE(ConnectReady());
  Settle(50);
  EXPECT_TRUE(done.empty());
}

TEST_F(NntpTest, AbortWhileLookingUpStartsNoConnection) {
  client.SetHost("localhost");
  client.Connect();
  client.Abort();
  Settle(300);
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
  Settle(50);
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

}  // namespace
