// Retrieval and single-line commands of the NNTP client against a server
// that answers each command line with what the test scripts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>

#include "nntp/NntpCli.h"
#include "platform/testsupport.h"
#include "tests/unit/nntp_test_util.h"

namespace {

// The client with its request line in view.
class TestCli : public TNntpCli {
 public:
  using TNntpCli::TNntpCli;
  const std::string& RequestLine() const { return FRequestLine; }
  void StartWithKind(TNntpRequest kind) { StartArticleRequest(kind, "", nullptr); }
};

// A destination that takes a fixed number of bytes, then refuses.
class FullDisk : public TStream {
 public:
  explicit FullDisk(std::size_t room) : room_(room) {}
  std::string data;
  int writesAfterFull = 0;
  std::int32_t Read(void*, std::int32_t) override { return 0; }
  std::int32_t Write(const void* buffer, std::int32_t count) override {
    if (full_) ++writesAfterFull;
    std::size_t n = std::min(room_ - data.size(), static_cast<std::size_t>(count));
    data.append(static_cast<const char*>(buffer), n);
    if (n < static_cast<std::size_t>(count)) full_ = true;
    return static_cast<std::int32_t>(n);
  }
  std::int64_t Seek(std::int64_t, int) override { return static_cast<std::int64_t>(data.size()); }

 private:
  std::size_t room_;
  bool full_ = false;
};

// A destination that keeps each write apart, with what the client's
// LastResponse was while it was made.
class WriteLog : public TStream {
 public:
  explicit WriteLog(const TNntpCli& client) : client_(client) {}
  std::vector<std::string> writes, during;
  std::int32_t Read(void*, std::int32_t) override { return 0; }
  std::int32_t Write(const void* buffer, std::int32_t count) override {
    writes.emplace_back(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
    during.push_back(client_.LastResponse());
    return count;
  }
  std::int64_t Seek(std::int64_t, int) override { return 0; }

 private:
  const TNntpCli& client_;
};

std::string Text(TMemoryStream& m) {
  return std::string(m.Memory(), static_cast<std::size_t>(m.Size()));
}

struct Done {
  TNntpRequest rq;
  int error;
  bool operator==(const Done& o) const { return rq == o.rq && error == o.error; }
};

class RetrieveTest : public ::testing::Test {
 protected:
  ScriptedServer server;
  TestCli client{nullptr};
  std::vector<Done> done;
  std::vector<std::string> events;  // event name and LastResponse, in order

  void SetUp() override {
    client.SetHost("127.0.0.1");
    client.SetPort(server.Port());
    client.OnRequestDone = [this](TObject*, TNntpRequest rq, std::uint16_t e) {
      done.push_back({rq, e});
      events.push_back("done " + client.LastResponse());
    };
    auto log = [this](const char* name) {
      return [this, name](TObject*) {
        events.push_back(std::string(name) + " " + client.LastResponse());
      };
    };
    client.OnMessageBegin = log("begin");
    client.OnMessageLine = log("line");
    client.OnMessageEnd = log("end");
    client.OnXHdrBegin = log("xbegin");
    client.OnXHdrLine = log("xline");
    client.OnXHdrEnd = log("xend");
    client.Connect();
    ASSERT_TRUE(RunUntil([&] { return client.State() == nntpReady; }));
  }
  // Starts a request and waits for its report; returns it.
  Done Run(const std::function<void()>& start) {
    done.clear();
    events.clear();
    start();
    EXPECT_TRUE(RunUntil([&] { return !done.empty(); }));
    return done.empty() ? Done{nntpAbort, -1} : done.back();
  }
  void Answer(const std::string& reply) {
    server.answer = [reply](const std::string&) { return reply; };
  }
};

TEST_F(RetrieveTest, ArticleLinesEventsAndDotsInOrder) {
  // On the wire every leading dot is doubled: the lines ".", "..", ".x"
  // arrive as "..", "...", "..x". One comes off each, whatever follows.
  Answer(
      "220 3000 <a.1@host> article\r\nSubject: s\r\n\r\n..\r\n...\r\n..x\r\n.y\r\nbody\r\n.\r\n");
  TMemoryStream out;
  EXPECT_EQ(Run([&] { client.ArticleByNumber(3000, &out); }), (Done{nntpArticleByNumber, 0}));
  EXPECT_EQ(server.commands.back(), "ARTICLE 3000");
  EXPECT_EQ(Text(out), "Subject: s\r\n\r\n.\r\n..\r\n.x\r\ny\r\nbody\r\n");
  EXPECT_EQ(events, (std::vector<std::string>{
                        "begin 220 3000 <a.1@host> article", "line Subject: s", "line ", "line .",
                        "line ..", "line .x", "line y", "line body",
                        "end 220 3000 <a.1@host> article", "done 220 3000 <a.1@host> article"}));
  EXPECT_EQ(client.ArticleNumber(), 3000);
  EXPECT_EQ(client.ArticleID(), "a.1@host");
  EXPECT_EQ(client.State(), nntpReady);

  // Without a stream the lines come through the events alone; a message-id
  // with no closing bracket runs to the end of the line.
  Answer("222 7 <open.id body\r\nx\r\n.\r\n");
  EXPECT_EQ(Run([&] { client.BodyByID("open.id", nullptr); }), (Done{nntpBodyByID, 0}));
  EXPECT_EQ(server.commands.back(), "BODY <open.id>");
  EXPECT_EQ(client.ArticleID(), "open.id body");
  EXPECT_EQ(events.size(), 4u);
}

TEST_F(RetrieveTest, StatusCodesDecideBetweenDataAndCompletion) {
  Answer("223 12 <s@h> selected\r\n");
  EXPECT_EQ(Run([&] { client.StatByNumber(12); }), (Done{nntpStatByNumber, 0}));
  EXPECT_EQ(client.ArticleNumber(), 12);
  EXPECT_EQ(client.ArticleID(), "s@h");
  EXPECT_EQ(events, (std::vector<std::string>{"done 223 12 <s@h> selected"}));

  Answer("423 no such article\r\n");
  EXPECT_EQ(Run([&] { client.HeadByNumber(99, nullptr); }), (Done{nntpHeadByNumber, 423}));
  EXPECT_EQ(client.ArticleNumber(), -1);
  EXPECT_EQ(client.ArticleID(), "");
  EXPECT_EQ(client.LastResponse(), "423 no such article");

  Answer("215 list follows\r\n.\r\n");
  EXPECT_EQ(Run([&] { client.List(nullptr); }), (Done{nntpList, 0}));
  EXPECT_EQ(client.ArticleNumber(), 0);

  Answer("211 3 1 3 pl.test\r\n");  // a code that announces no data here
  EXPECT_EQ(Run([&] { client.AnyCommand("GROUP pl.test", nullptr); }), (Done{nntpAnyCommand, 211}));
  Answer("421 no next article\r\n");
  EXPECT_EQ(Run([&] { client.Next(); }), (Done{nntpNext, 421}));
  Answer("422 no previous article\r\n");
  EXPECT_EQ(Run([&] { client.Last(); }), (Done{nntpLast, 422}));
}

TEST_F(RetrieveTest, NewNewsListIsReceivedNotLeftForTheNextRequest) {
  server.answer = [](const std::string& line) -> std::string {
    if (line.rfind("NEWNEWS", 0) == 0) return "230 list follows\r\n<a@h>\r\n<b@h>\r\n.\r\n";
    return "111 20240102030405\r\n";
  };
  TMemoryStream out;
  EXPECT_EQ(Run([&] { client.NewNews(EncodeDate(2024, 1, 1), false, "pl.*", "", &out); }),
            (Done{nntpNewNews, 0}));
  EXPECT_EQ(Text(out), "<a@h>\r\n<b@h>\r\n");
  EXPECT_EQ(Run([&] { client.Date(); }), (Done{nntpDate, 0}));
  EXPECT_DOUBLE_EQ(client.ServerDate(), EncodeDate(2024, 1, 2) + EncodeTime(3, 4, 5, 0));
}

TEST_F(RetrieveTest, RepliesWithoutAStatusNeverPassForSuccess) {
  // Read as a number, such a line is 0 (or a code whose low 16 bits are 0),
  // which would report the request as done.
  TMemoryStream out;
  std::vector<std::pair<std::function<void()>, TNntpRequest>> requests = {
      {[&] { client.ArticleByNumber(1, &out); }, nntpArticleByNumber},
      {[&] { client.List(&out); }, nntpList},
      {[&] { client.XHdr(&out, "Subject", "1"); }, nntpXHdr},
      {[&] { client.Group("pl.test"); }, nntpGroup},
      {[&] { client.Date(); }, nntpDate},
      {[&] { client.ModeReader(); }, nntpModeReader},
      {[&] { client.Authenticate(); }, nntpAuthenticate},
  };
  for (std::string reply : {"welcome\r\n", "65536 done\r\n", "0 done\r\n"}) {
    Answer(reply);
    for (auto& [start, kind] : requests) {
      EXPECT_EQ(Run(start), (Done{kind, nntpErrorNoStatus})) << reply << kind;
      EXPECT_EQ(client.LastResponse() + "\r\n", reply);
    }
  }
  EXPECT_EQ(out.Size(), 0);
  // Nor does such an answer to the password.
  server.answer = [](const std::string& line) -> std::string {
    return line.rfind("AUTHINFO USER", 0) == 0 ? "381 more\r\n" : "fine by me\r\n";
  };
  EXPECT_EQ(Run([&] { client.Authenticate(); }), (Done{nntpAuthenticate, nntpErrorNoStatus}));
}

TEST_F(RetrieveTest, XHdrKeepsItsOwnEventsAndUnstuffsToo) {
  Answer("221 Subject fields follow\r\n1 Re: x\r\n..2 dotted\r\n.\r\n");
  TMemoryStream out;
  EXPECT_EQ(Run([&] { client.XHdr(&out, "Subject", "1-2"); }), (Done{nntpXHdr, 0}));
  EXPECT_EQ(server.commands.back(), "XHDR Subject 1-2");
  EXPECT_EQ(Text(out), "1 Re: x\r\n.2 dotted\r\n");
  EXPECT_EQ(events, (std::vector<std::string>{"xbegin 221 Subject fields follow", "xline 1 Re: x",
                                              "xline .2 dotted", "xend 221 Subject fields follow",
                                              "done 221 Subject fields follow"}));
  Answer("220 wrong code for XPAT\r\n");
  EXPECT_EQ(Run([&] { client.XPat(&out, "Subject", "1-9", "*x*"); }), (Done{nntpXPat, 220}));
  EXPECT_EQ(server.commands.back(), "XPAT Subject 1-9 *x*");
}

TEST_F(RetrieveTest, EachOperationSendsItsLine) {
  TMemoryStream out;
  TDateTime when = EncodeDate(2024, 1, 2) + EncodeTime(3, 4, 5, 0);
  std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[&] { client.ArticleByNumber(0, &out); }, "ARTICLE"},
      {[&] { client.ArticleByNumber(-5, &out); }, "ARTICLE"},
      {[&] { client.ArticleByID("x@y", &out); }, "ARTICLE <x@y>"},
      {[&] { client.HeadByID("x@y", &out); }, "HEAD <x@y>"},
      {[&] { client.BodyByNumber(7, &out); }, "BODY 7"},
      {[&] { client.StatByID("x@y"); }, "STAT <x@y>"},
      {[&] { client.StatByNumber(0); }, "STAT"},
      {[&] { client.Next(); }, "NEXT"},
      {[&] { client.Last(); }, "LAST"},
      {[&] { client.List(&out); }, "LIST"},
      {[&] { client.ListActive("", &out); }, "LIST ACTIVE "},
      {[&] { client.ListActive("pl.*", &out); }, "LIST ACTIVE pl.*"},
      {[&] { client.ListSrchFields(&out); }, "LIST SRCHFIELDS"},
      {[&] { client.ListSearchable(&out); }, "LIST SEARCHABLE"},
      {[&] { client.ListOverViewFmt(&out); }, "LIST OVERVIEW.FMT"},
      {[&] { client.Help(&out); }, "HELP"},
      {[&] { client.XOver("1-10", &out); }, "XOVER 1-10"},
      {[&] { client.Search("q", &out); }, "SEARCH q"},
      {[&] { client.NewGroups(when, false, "", &out); }, "NEWGROUPS 240102 030405"},
      {[&] { client.NewNews(when, true, "", "pl", &out); }, "NEWNEWS * 240102 030405 GMT <pl>"},
      {[&] { client.AnyCommand("LIST NEWSGROUPS", &out); }, "LIST NEWSGROUPS"},
      {[&] { client.XHdr(&out, "From", ""); }, "XHDR From"},
      {[&] { client.XPat(&out, "From", "", ""); }, "XPAT From  "},
      {[&] { client.Group(" \tpl.test \r\n"); }, "GROUP pl.test"},
      {[&] { client.Group(""); }, "GROUP "},
      {[&] { client.Date(); }, "DATE"},
      {[&] { client.ModeReader(); }, "MODE READER"},
  };
  for (auto& [start, line] : cases) {
    Run(start);
    EXPECT_EQ(server.commands.back(), line);
    EXPECT_EQ(done, (std::vector<Done>{{done.back().rq, 500}})) << line;
  }
}

TEST_F(RetrieveTest, NotReadyAndInternalErrorsChangeNothing) {
  TestCli idle(nullptr);
  TMemoryStream out;
  auto message = [](const std::function<void()>& f) {
    try {
      f();
    } catch (const NntpException& e) {
      return e.Message();
    }
    return std::string("no exception");
  };
  EXPECT_EQ(message([&] { idle.ArticleByID("a", &out); }), "Not ready for ARTICLE");
  EXPECT_EQ(message([&] { idle.HeadByNumber(1, &out); }), "Not ready for HEAD");
  EXPECT_EQ(message([&] { idle.BodyByNumber(1, &out); }), "Not ready for BODY");
  EXPECT_EQ(message([&] { idle.StatByNumber(1); }), "Not ready for STAT");
  EXPECT_EQ(message([&] { idle.ListActive("", &out); }), "Not ready for LIST ACTIVE");
  EXPECT_EQ(message([&] { idle.ListOverViewFmt(&out); }), "Not ready for LIST OVERVIEW.FMT");
  EXPECT_EQ(message([&] { idle.AnyCommand("XYZ 1", &out); }), "Not ready for \"XYZ 1\" command");
  EXPECT_EQ(message([&] { idle.NewNews(0, true, "", "", &out); }), "Not ready for NEWNEWS");
  EXPECT_EQ(message([&] { idle.ModeReader(); }), "Not ready for ModeReader");
  EXPECT_EQ(message([&] { idle.Authenticate(); }), "Not ready for AUTHINFO");
  EXPECT_EQ(message([&] { idle.Group("x"); }), "Not ready for GROUP");
  EXPECT_EQ(message([&] { idle.StartWithKind(nntpGroup); }),
            "Internal error: Invalid Request Type");
  EXPECT_EQ(message([&] { client.StartWithKind(nntpXOver); }),
            "Internal error: Invalid Request Type");
  EXPECT_EQ(idle.RequestLine(), "");
  EXPECT_EQ(client.State(), nntpReady);
}

TEST_F(RetrieveTest, LineBreaksAndNulInArgumentsAreRefusedBeforeSending) {
  TMemoryStream out;
  std::vector<std::function<void(const std::string&)>> ops = {
      [&](const std::string& s) { client.ArticleByID(s, &out); },
      [&](const std::string& s) { client.StatByID(s); },
      [&](const std::string& s) { client.ListActive(s, &out); },
      [&](const std::string& s) { client.XOver(s, &out); },
      [&](const std::string& s) { client.Search(s, &out); },
      [&](const std::string& s) { client.AnyCommand("LIST" + s, &out); },
      [&](const std::string& s) { client.XHdr(&out, s, ""); },
      [&](const std::string& s) { client.XHdr(&out, "Subject", s); },
      [&](const std::string& s) { client.XPat(&out, "Subject", "1", s); },
      [&](const std::string& s) { client.Group("pl" + s + "x"); },
      [&](const std::string& s) { client.NewNews(1, false, s, "", &out); },
      [&](const std::string& s) { client.NewGroups(1, false, s, &out); },
      [&](const std::string& s) {
        client.SetUserName(s);
        client.SetPassWord("p");
        client.Authenticate();
      },
      [&](const std::string& s) {
        client.SetUserName("u");
        client.SetPassWord("p" + s);
        client.Authenticate();
      },
  };
  Answer("");
  for (const std::string& bad : {std::string("a\r\nQUIT"), std::string("a\nQUIT"),
                                 std::string("a\rb"), std::string("a\0b", 3)}) {
    for (std::size_t i = 0; i < ops.size(); ++i) {
      EXPECT_THROW(ops[i](bad), NntpException) << i;
      EXPECT_EQ(client.State(), nntpReady) << i;
    }
  }
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_TRUE(server.commands.empty());
  EXPECT_TRUE(done.empty());
}

TEST_F(RetrieveTest, GroupCountersAndTheirReset) {
  Answer("211 1234 3000 4233 pl.test\r\n");
  EXPECT_EQ(Run([&] { client.Group("pl.test"); }), (Done{nntpGroup, 0}));
  EXPECT_EQ(client.ArticleEstimated(), 1234);
  EXPECT_EQ(client.ArticleFirst(), 3000);
  EXPECT_EQ(client.ArticleLast(), 4233);
  Answer("411 no such group\r\n");
  EXPECT_EQ(Run([&] { client.Group("pl.none"); }), (Done{nntpGroup, 411}));
  EXPECT_EQ(client.ArticleEstimated(), 0);
  EXPECT_EQ(client.ArticleFirst(), 0);
  EXPECT_EQ(client.ArticleLast(), 0);
}

TEST_F(RetrieveTest, DateRepliesGoodImpossibleAndShort) {
  std::map<std::string, TDateTime> cases = {
      {"111 19991231235959", EncodeDate(1999, 12, 31) + EncodeTime(23, 59, 59, 0)},
      {"111   20240229000000  ", EncodeDate(2024, 2, 29)},
      {"111 18991229060000", -1.25},  // before day zero the time counts away from it
      {"111 20241301000000", 0},      // month 13
      {"111 20240101240000", 0},      // hour 24
      {"111 20230229120000", 0},      // no such day
      {"111 2024010112000x", 0},
      {"111 2024", 0},
  };
  for (const auto& [reply, expected] : cases) {
    Answer(reply + "\r\n");
    EXPECT_EQ(Run([&] { client.Date(); }), (Done{nntpDate, 0})) << reply;
    EXPECT_DOUBLE_EQ(client.ServerDate(), expected) << reply;
  }
  Answer("500 what?\r\n");
  EXPECT_EQ(Run([&] { client.Date(); }), (Done{nntpDate, 500}));
  EXPECT_DOUBLE_EQ(client.ServerDate(), 0);

  Answer("111 19991231235959\r\n");
  Run([&] { client.Date(); });
  Answer("201 reader, no posting\r\n");
  bool permitted = client.PostingPermited();
  EXPECT_EQ(Run([&] { client.ModeReader(); }), (Done{nntpModeReader, 0}));
  EXPECT_DOUBLE_EQ(client.ServerDate(), 0);
  EXPECT_EQ(client.PostingPermited(), permitted);
}

TEST_F(RetrieveTest, AuthinfoIsOneRequestAndForgetsThePassword) {
  client.SetUserName("jan");
  client.SetPassWord("tajne");
  server.answer = [](const std::string& line) -> std::string {
    return line.rfind("AUTHINFO USER", 0) == 0 ? "381 more\r\n" : "281 welcome\r\n";
  };
  EXPECT_EQ(Run([&] { client.Authenticate(); }), (Done{nntpAuthenticate, 0}));
  EXPECT_TRUE(PumpUntilIdle());
  EXPECT_EQ(done.size(), 1u);
  EXPECT_EQ(server.commands,
            (std::vector<std::string>{"AUTHINFO USER jan", "AUTHINFO PASS tajne"}));
  EXPECT_EQ(client.RequestLine().find("tajne"), std::string::npos);

  server.answer = [](const std::string& line) -> std::string {
    return line.rfind("AUTHINFO USER", 0) == 0 ? "381 more\r\n" : "481 no\r\n";
  };
  EXPECT_EQ(Run([&] { client.Authenticate(); }), (Done{nntpAuthenticate, 481}));
  Answer("281 user alone is enough\r\n");
  EXPECT_EQ(Run([&] { client.Authenticate(); }), (Done{nntpAuthenticate, 281}));
  Answer("482 go away\r\n");
  EXPECT_EQ(Run([&] { client.Authenticate(); }), (Done{nntpAuthenticate, 482}));
  EXPECT_EQ(server.commands.back(), "AUTHINFO USER jan");
}

// The trace has the dialogue (commands, status lines, not the data lines)
// and never the password, however the command that carries it is spelt.
TEST_F(RetrieveTest, TheTraceShowsTheDialogueAndNeverThePassword) {
  std::vector<std::string> trace;
  client.OnTrace = [&](TObject*, const std::string& text) { trace.push_back(text); };
  client.SetUserName("jan");
  client.SetPassWord("tajne");
  server.answer = [](const std::string& line) -> std::string {
    if (line.rfind("AUTHINFO USER", 0) == 0) return "381 more\r\n";
    if (line.rfind("ARTICLE", 0) == 0) return "220 1 <a@b> article\r\nSubject: tajemnica\r\n.\r\n";
    return "281 welcome\r\n";
  };
  EXPECT_EQ(Run([&] { client.Authenticate(); }), (Done{nntpAuthenticate, 0}));
  for (const char* spelt : {"authinfo pass tajne", "AuthInfo Pass tajne"})
    Run([&] { client.AnyCommand(spelt, nullptr); });
  Run([&] { client.ArticleByNumber(1, nullptr); });
  EXPECT_EQ(trace,
            (std::vector<std::string>{
                "> AUTHINFO USER jan", "< 381 more", "> AUTHINFO PASS ********", "< 281 welcome",
                "> authinfo pass ********", "< 281 welcome", "> AuthInfo Pass ********",
                "< 281 welcome", "> ARTICLE 1", "< 220 1 <a@b> article"}));
}

TEST_F(RetrieveTest, RepliesSplitAcrossReads) {
  Answer("");
  TMemoryStream out;
  std::size_t seen = 0;
  client.OnDisplay = [&](TObject*, const char*, std::int32_t n) {
    seen += static_cast<std::size_t>(n);
  };
  done.clear();
  client.BodyByNumber(1, &out);
  ASSERT_TRUE(RunUntil([&] { return server.commands.size() == 1; }));
  std::string wire = "222 1 <i@h>\r\nfirst\r\n..second\r\n\r\nlast\r\n.\r\n";
  // Cut at every awkward place: inside the status line, between CR and LF,
  // inside the terminator.
  for (std::size_t cut : std::vector<std::size_t>{5, 12, 19, 21, 33, 39, 40, wire.size()}) {
    std::size_t from = seen;
    server.peer->SendString(wire.substr(from, cut - from));
    ASSERT_TRUE(RunUntil([&] { return seen == cut; }));
  }
  ASSERT_TRUE(RunUntil([&] { return !done.empty(); }));
  EXPECT_EQ(done, (std::vector<Done>{{nntpBodyByNumber, 0}}));
  EXPECT_EQ(Text(out), "first\r\n.second\r\n\r\nlast\r\n");
}

TEST_F(RetrieveTest, LongDataLinesAndNulBytesArriveWhole) {
  std::string longLine(100000, 'x');
  longLine[50000] = '\0';
  std::string nul("a\0b", 3);
  Answer("222 1 <l@h>\r\n" + longLine + "\r\n" + nul + "\r\n." + longLine + "\r\n.\r\n");
  TMemoryStream out;
  EXPECT_EQ(Run([&] { client.BodyByNumber(1, &out); }), (Done{nntpBodyByNumber, 0}));
  EXPECT_TRUE(Text(out) == longLine + "\r\n" + nul + "\r\n" + longLine + "\r\n");
  EXPECT_EQ(client.LastResponse(), "222 1 <l@h>");
}

// Each data line reaches the stream in a write of its own with its line
// end, the line's doubled dot undone, whether it came in one piece of the
// buffer or was gathered past it; meanwhile LastResponse is the line as
// delivered, as in its event.
TEST_F(RetrieveTest, EachDataLineIsOneWriteWithItsLineEnd) {
  const std::string longLine(10000, 'g');
  Answer("220 5 <w@h>\r\nplain\r\n..dotted\r\n\r\n" + longLine + "\r\n.." + longLine +
         "\r\nlast\r\n.\r\n");
  WriteLog log(client);
  EXPECT_EQ(Run([&] { client.ArticleByNumber(5, &log); }), (Done{nntpArticleByNumber, 0}));
  const std::vector<std::string> lines{"plain", ".dotted", "", longLine, "." + longLine, "last"};
  std::vector<std::string> writes;
  for (const std::string& line : lines) writes.push_back(line + "\r\n");
  EXPECT_TRUE(log.writes == writes);
  EXPECT_TRUE(log.during == lines);
  std::vector<std::string> events{"begin 220 5 <w@h>"};
  for (const std::string& line : lines) events.push_back("line " + line);
  events.push_back("end 220 5 <w@h>");
  events.push_back("done 220 5 <w@h>");
  EXPECT_TRUE(events == this->events);
}

// Many lines reach the client in one receive; an abort from a line's event
// must stop the rest of them, not only the rest of the line buffer's 4 KB.
TEST_F(RetrieveTest, AnAbortInALineEventStopsTheRestOfALargeReceive) {
  std::string body;
  for (int i = 0; i < 2000; ++i) body += "line " + std::to_string(i) + " of a long answer\r\n";
  Answer("222 1 <a@h>\r\n" + body + ".\r\n");
  int lines = 0, ends = 0;
  client.OnMessageLine = [&](TObject*) {
    if (++lines == 3) client.Abort();
  };
  client.OnMessageEnd = [&](TObject*) { ++ends; };
  // After the abort there is no request: lines still split would come here.
  int stray = 0;
  client.OnDataAvailable = [&](TObject*, std::uint16_t) { ++stray; };
  TMemoryStream out;
  EXPECT_EQ(Run([&] { client.BodyByNumber(1, &out); }), (Done{nntpAbort, 0}));
  EXPECT_TRUE(RunUntil([&] { return client.State() == nntpNotConnected; }));
  EXPECT_EQ(lines, 3);
  EXPECT_EQ(ends, 0);
  EXPECT_EQ(stray, 0);
  EXPECT_EQ(done, (std::vector<Done>{{nntpAbort, 0}}));
}

TEST_F(RetrieveTest, ALineBeyondTheLimitEndsTheRequestWithAnError) {
  std::string huge(TNntpCli::kMaxDataLine + 10000, 'y');
  server.answer = [&](const std::string& line) -> std::string {
    if (line == "BODY 1") return "222 1 <l@h>\r\nbefore\r\n" + huge + "\r\nafter\r\n.\r\n";
    return "223 2 <n@h>\r\n";
  };
  TMemoryStream out;
  EXPECT_EQ(Run([&] { client.BodyByNumber(1, &out); }),
            (Done{nntpBodyByNumber, TNntpCli::kErrorLineTooLong}));
  EXPECT_EQ(Text(out), "before\r\n");  // nothing after the gap
  EXPECT_EQ(client.State(), nntpReady);
  // The rest of the answer was drained: the next reply is the next request's.
  EXPECT_EQ(Run([&] { client.StatByNumber(2); }), (Done{nntpStatByNumber, 0}));
  EXPECT_EQ(client.ArticleID(), "n@h");
}

// The limit is on the line as delivered: the dot the server doubled in
// front of a line does not count.
TEST_F(RetrieveTest, TheLineLimitCountsTheLineAsDelivered) {
  const std::size_t limit = TNntpCli::kMaxDataLine;
  struct Case {
    std::string delivered;  // what the line is, once its doubled dot is undone
    bool whole;
  } cases[] = {
      {"." + std::string(limit - 1, 'd'), true},
      {std::string(limit, 'p'), true},
      {"." + std::string(limit, 'd'), false},
      {std::string(limit + 1, 'p'), false},
  };
  for (const Case& k : cases) {
    std::string wire = k.delivered[0] == '.' ? "." + k.delivered : k.delivered;
    Answer("222 1 <l@h>\r\n" + wire + "\r\n.\r\n");
    TMemoryStream out;
    Done want{nntpBodyByNumber, k.whole ? 0 : TNntpCli::kErrorLineTooLong};
    EXPECT_EQ(Run([&] { client.BodyByNumber(1, &out); }), want) << k.delivered.size();
    EXPECT_EQ(Text(out) == k.delivered + "\r\n", k.whole) << k.delivered.size();
  }
}

TEST_F(RetrieveTest, AFailedWriteEndsTheRequestAndNothingFollowsTheGap) {
  server.answer = [](const std::string& line) -> std::string {
    if (line == "ARTICLE 1") return "220 1 <w@h>\r\n0123456789\r\nabcdefghij\r\nzzz\r\n.\r\n";
    return "223 2 <n@h>\r\n";
  };
  FullDisk disk(15);  // room for the first line and a part of the second
  int lines = 0, ends = 0;
  client.OnMessageLine = [&](TObject*) { ++lines; };
  client.OnMessageEnd = [&](TObject*) { ++ends; };
  EXPECT_EQ(Run([&] { client.ArticleByNumber(1, &disk); }),
            (Done{nntpArticleByNumber, TNntpCli::kErrorWriteFault}));
  EXPECT_EQ(disk.writesAfterFull, 0);
  EXPECT_EQ(lines, 1);
  EXPECT_EQ(ends, 0);
  EXPECT_EQ(client.LastResponse(), "220 1 <w@h>");
  EXPECT_EQ(Run([&] { client.StatByNumber(2); }), (Done{nntpStatByNumber, 0}));
}

TEST_F(RetrieveTest, ACloseMidAnswerIsAnErrorAndKeepsWhatWasWritten) {
  Answer("");
  TMemoryStream out;
  int ends = 0;
  client.OnMessageEnd = [&](TObject*) { ++ends; };
  done.clear();
  client.ArticleByNumber(1, &out);
  ASSERT_TRUE(RunUntil([&] { return server.commands.size() == 1; }));
  server.peer->SendString("220 1 <c@h>\r\nkept\r\npartial lin");
  ASSERT_TRUE(RunUntil([&] { return out.Size() > 0; }));
  server.peer->Close();
  ASSERT_TRUE(RunUntil([&] { return !done.empty(); }));
  // An orderly close must not pass for a complete answer.
  EXPECT_EQ(done, (std::vector<Done>{{nntpArticleByNumber, 10054}}));
  EXPECT_EQ(Text(out), "kept\r\n");
  EXPECT_EQ(ends, 0);
  EXPECT_EQ(client.State(), nntpNotConnected);
}

TEST_F(RetrieveTest, ZeroWhenMeansNowOnTheClockTheServerIsTold) {
  // Poland's local time is always one or two hours ahead of UTC, so the
  // test shows which of the two was read. (Under wine the system's clock
  // follows the TZ wine was started with, which the test's CMake entry sets.)
  plat::testing::SetEnvironment("TZ", "Europe/Warsaw");
  tzset();
  ASSERT_GT(std::abs(Now() - NowUTC()) * 24, 0.5);
  auto sentTime = [&](const std::string& line, std::size_t at) {
    int y = std::stoi(line.substr(at, 2)), mo = std::stoi(line.substr(at + 2, 2));
    int d = std::stoi(line.substr(at + 4, 2)), h = std::stoi(line.substr(at + 7, 2));
    int mi = std::stoi(line.substr(at + 9, 2)), s = std::stoi(line.substr(at + 11, 2));
    return EncodeDate(2000 + y, mo, d) + EncodeTime(h, mi, s, 0);
  };
  const double minute = 1.0 / 1440;
  Run([&] { client.NewGroups(0, true, "", nullptr); });
  EXPECT_NEAR(sentTime(server.commands.back(), 10), NowUTC(), minute);
  EXPECT_EQ(server.commands.back().substr(23), " GMT");
  Run([&] { client.NewNews(0, false, "pl.test", "", nullptr); });
  EXPECT_NEAR(sentTime(server.commands.back(), 16), Now(), minute);
  EXPECT_EQ(server.commands.back().size(), 29u);
}

}  // namespace
