// The article text, byte for byte, and the article file.
#include "app/article.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "app/articlesource.h"
#include "host/console.h"

namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
  TFileStream f(path, fmCreate);
  f.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

// The article as Read gives it, from its start; false when a Read fails.
bool ReadAll(TArticleSource& source, std::string& out) {
  std::vector<char> block(TArticleFile::kBlockSize);
  for (std::int32_t n;
       (n = source.Read(block.data(), static_cast<std::int32_t>(block.size()))) != 0;) {
    if (n < 0) return false;
    out.append(block.data(), static_cast<std::size_t>(n));
  }
  return true;
}

class ArticleTest : public ::testing::Test {
 protected:
  std::string path = "article_test_body.tmp";
  TProductIdentity identity;

  void SetUp() override {
    identity.ProductName = "Kestrun";
    identity.ProductVersion = 0x0001000200030004ull;
    identity.ProductUrl = "https://kestrun.example.org/";
  }
  void TearDown() override { std::remove(path.c_str()); }

  std::string Assemble(const std::string& body,
                       const std::string& author = "Jan <jan@example.invalid>",
                       const std::string& subject = "Test") {
    WriteFile(path, body);
    TArticleFile file(path);
    TArticleSource source(file, author, "pl.test,pl.news.czytniki", subject, identity);
    source.SetMessageID("<id@example.invalid>");
    std::string article;
    if (!ReadAll(source, article)) throw source.Failure().value();
    return article;
  }
  std::string Headers(const std::string& from = "Jan <jan@example.invalid>",
                      const std::string& subject = "Test",
                      const std::string& charset = "Windows-1250") {
    return "From: " + from + "\r\nNewsgroups: pl.test,pl.news.czytniki\r\nSubject: " + subject +
           "\r\nMessage-ID: <id@example.invalid>\r\nUser-Agent: "
           "Kestrun/1.02.03.04\r\nMime-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=" +
           charset +
           "\r\nContent-Transfer-Encoding: 8bit\r\n"
           "X-User-Agent-Url: https://kestrun.example.org/\r\n\r\n";
  }
};

TEST_F(ArticleTest, HeaderBlockAndAnEmptyLineForAnEmptyFile) {
  // Servers refuse an article without a body: an empty file posts one empty line.
  EXPECT_EQ(Assemble(""), Headers() + "\r\n");
  EXPECT_EQ(Assemble("", "Jan <jan@example.invalid>", ""),
            Headers("Jan <jan@example.invalid>", "") + "\r\n");
}

TEST_F(ArticleTest, BodyKeepsItsBytesAndDoublesLeadingDots) {
  EXPECT_EQ(Assemble(".\r\n.start\r\nmid.dle\r\n..two\r\n"),
            Headers() + "..\r\n..start\r\nmid.dle\r\n...two\r\n");
  // A lone LF goes out as CR LF; a dot after it still leads a line.
  EXPECT_EQ(Assemble("a\n.b\nc"), Headers() + "a\r\n..b\r\nc");
  EXPECT_EQ(Assemble(".no final line end"), Headers() + "..no final line end");
  // A dot that begins the file's second block of reading, right after a
  // line feed that ends the first; and one that begins the third block in
  // the middle of a line.
  std::string big(3 * TArticleFile::kBlockSize + 5, 'x');
  for (std::size_t i = 999; i + 1 < big.size(); i += 1000) big[i] = '\n', big[i + 1] = '.';
  big[TArticleFile::kBlockSize - 1] = '\n';
  big[TArticleFile::kBlockSize] = '.';
  big[2 * TArticleFile::kBlockSize - 1] = 'x';
  big[2 * TArticleFile::kBlockSize] = '.';
  std::string want = Headers();
  for (std::size_t i = 0; i < big.size(); ++i) {
    if (big[i] == '\n') want += '\r';
    want += big[i];
    if (big[i] == '\n' && i + 1 < big.size() && big[i + 1] == '.') want += '.';
  }
  EXPECT_TRUE(Assemble(big) == want);
}

// The body is declared UTF-8 only when it is UTF-8 and not ASCII; its bytes
// never change, but for a byte-order mark, which is no text.
TEST_F(ArticleTest, BodyCharsetFollowsTheFile) {
  const std::string bom = "\xEF\xBB\xBF";
  struct Case {
    const char* what;
    std::string file;
    const char* charset;
    std::string body;
  } cases[] = {
      {"ASCII", "plain\r\n", "Windows-1250", "plain\r\n"},
      {"Windows-1250 Polish", "Za\xBF\xF3\xB3\xE6\n", "Windows-1250", "Za\xBF\xF3\xB3\xE6\r\n"},
      {"UTF-8 Polish", "Zażółć €\n", "UTF-8", "Zażółć €\r\n"},
      {"UTF-8 with a byte-order mark, a dot line after it", bom + ".\r\nЖ", "UTF-8", "..\r\nЖ"},
      {"a byte-order mark before ASCII", bom + "a", "UTF-8", "a"},
      {"a byte-order mark alone", bom, "UTF-8", "\r\n"},
      {"invalid UTF-8 keeps its mark", bom + "\xBF\n", "Windows-1250", bom + "\xBF\r\n"},
      {"UTF-8 cut short at the end", "Za\xC5", "Windows-1250", "Za\xC5"},
      {"an overlong form", "\xC0\xAF", "Windows-1250", "\xC0\xAF"},
      {"a surrogate", "\xED\xA0\x80", "Windows-1250", "\xED\xA0\x80"},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(Assemble(k.file), Headers("Jan <jan@example.invalid>", "Test", k.charset) + k.body)
        << k.what;
  }
}

TEST_F(ArticleTest, EmptyProductUrlLeavesItsHeaderOut) {
  identity.ProductUrl.clear();
  std::string h = Headers();
  h.erase(h.find("X-User-Agent-Url"),
          std::string("X-User-Agent-Url: https://kestrun.example.org/\r\n").size());
  EXPECT_EQ(Assemble("x"), h + "x");
}

// The body streamed block by block: CR LF on the wire wherever a line ends,
// whatever block a line end, a CR before it or a leading dot falls in.
TEST_F(ArticleTest, LineEndsAndDotsAcrossBlocks) {
  const std::size_t b = TArticleFile::kBlockSize;
  auto at = [&](std::size_t where, const std::string& text) {
    std::string body(2 * b + 10, 'x');
    body.replace(where, text.size(), text);
    return body;
  };
  auto expect = [&](std::size_t where, const std::string& text, const std::string& out) {
    std::string body(2 * b + 10, 'x');
    return body.substr(0, where) + out + body.substr(where + text.size());
  };
  struct Case {
    const char* what;
    std::string file, body;
  } cases[] = {
      {"CR LF stays as it is", "a\r\nb\r\n.c\r\n", "a\r\nb\r\n..c\r\n"},
      {"a lone CR stays", "a\rb\n", "a\rb\r\n"},
      {"empty LF lines", "\n\n.\n", "\r\n\r\n..\r\n"},
      {"dots inside lines and after dots", "a.b\n..\n", "a.b\r\n...\r\n"},
      {"a dot line last", "x\n.", "x\r\n.."},
      {"CR LF cut by a block's end", at(b - 1, "\r\n"), expect(b - 1, "\r\n", "\r\n")},
      {"LF at a block's start", at(b, "\n."), expect(b, "\n.", "\r\n..")},
      {"LF ending a block, dot after", at(b - 1, "\n."), expect(b - 1, "\n.", "\r\n..")},
  };
  for (const Case& k : cases) EXPECT_TRUE(Assemble(k.file) == Headers() + k.body) << k.what;
}

// The character set found over pieces is the one of the whole, wherever
// the pieces are cut and wherever a character falls in the scan's chunks:
// each token after every length of Polish text before it.
TEST(CharsetScan, SameForEveryCut) {
  const std::string tokens[] = {"€", "—", "ż", "\xF0\x9F\x98\x80", "\xEF\xBB\xBF", "plain",
                                // broken: cut short, overlong, surrogate, past U+10FFFF,
                                // no lead, no character at all
                                "\xC5", "\xE2\x82", "\xC0\xAF", "\xC1\xBF", "\xE0\x9F\xBF",
                                "\xED\xA0\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xBF",
                                "\xF5\x80\x80\x80", "\xFF", "\xC5\xC5\xBC", "\xE2\x82\x41",
                                "\xC5" + std::string(17, 'a'), "\xE2\x82" + std::string(17, 'b')};
  const std::string polish = "Zażółć gęślą jaźń, ";
  for (const std::string& token : tokens) {
    for (std::size_t before = 0; before <= 18; ++before) {
      std::string lead;
      while (lead.size() < before) lead += before - lead.size() >= 2 ? "ą" : "a";
      const std::string t = lead + token + polish;
      // The whole text, one character at a time.
      bool whole = false;
      for (std::size_t i = 0, n; i < t.size(); i += n) {
        n = Utf8CharLength(t.data(), t.size(), i);
        whole = n > 1 || (n == 1 && whole);
        if (n == 0) break;
      }
      for (std::size_t cut = 0; cut <= t.size(); cut += 3) {
        for (std::size_t cut2 = cut; cut2 <= t.size(); ++cut2) {
          TCharsetScan scan;
          scan.Feed(t.data(), cut);
          scan.Feed(t.data() + cut, cut2 - cut);
          scan.Feed(t.data() + cut2, t.size() - cut2);
          ASSERT_EQ(scan.Utf8(), whole) << t << " cut at " << cut << ", " << cut2;
        }
      }
    }
  }
}

// A file that changes between the pass that chose its character set and
// the one that sends it goes out without its end: Read fails before the
// last byte. Unchanged, a second pass gives the same bytes.
TEST_F(ArticleTest, AFileChangedBetweenPassesIsNotPosted) {
  std::string body(3 * TArticleFile::kBlockSize, 'a');
  WriteFile(path, body);
  TArticleFile file(path);
  TArticleSource source(file, "Jan <jan@example.invalid>", "pl.test", "Test", identity);
  source.SetMessageID("<id@example.invalid>");
  std::string first, second, third;
  ASSERT_TRUE(ReadAll(source, first));
  source.Rewind();
  ASSERT_TRUE(ReadAll(source, second));
  EXPECT_TRUE(first == second);
  body[2 * TArticleFile::kBlockSize + 7] = 'b';  // same size, one byte other
  try {
    WriteFile(path, body);
  } catch (const EStreamError&) {
    GTEST_SKIP() << "this system keeps writers out while the file is open";
  }
  source.Rewind();
  EXPECT_FALSE(ReadAll(source, third));
  ASSERT_TRUE(source.Failure().has_value());
  EXPECT_EQ(source.Failure()->MessageFormat(),
            "Cannot post %s: the file changed while it was being posted");
}

TEST(MessageID, TakenFromTheServerOnlyWhenUsable) {
  const std::pair<const char*, const char*> cases[] = {
      {"340 Ok, recommended Message-ID <abc.1@news.example>", "<abc.1@news.example>"},
      {"240 Article received <x@y>", "<x@y>"},
      {"340 send it", ""},
      {"340 <no-at-sign>", ""},
      {"340 <two@at@signs>", ""},
      {"340 <sp ace@x>", ""},
      {"340 <@x>", ""},
      {"340 <unclosed@x", ""},
  };
  for (const auto& [line, id] : cases) EXPECT_EQ(MessageIDIn(line), id) << line;
  std::string a = GenerateMessageID(), b = GenerateMessageID();
  EXPECT_NE(a, b);
  EXPECT_EQ(MessageIDIn("340 " + a), a);
  EXPECT_EQ(a.size(), std::string("<@kestrun.invalid>").size() + 32);
}

// The article file: posted whole or not at all, refused before any
// connection when it cannot be, and every error names it.
TEST_F(ArticleTest, FilesThatCannotBePostedAreRefusedNamingThem) {
  try {
    TArticleFile file("no/such/file.txt");
    FAIL();
  } catch (const EArticleFile& e) {
    EXPECT_EQ(e.Message(), "Cannot open file no/such/file.txt");
    EXPECT_EQ(e.FileName(), "no/such/file.txt");
  }
  try {
    TArticleFile file(".");  // a directory: some systems open it, none reads it
    FAIL();
  } catch (const EArticleFile& e) {
    EXPECT_EQ(e.FileName(), ".");
    std::string format = e.MessageFormat();
    EXPECT_EQ(e.Message(), format.replace(format.find("%s"), 2, "."));
  }
}

std::int32_t FailingSecondRead(plat::FileHandle file, void* buffer, std::int32_t count) {
  static int calls = 0;
  if (++calls % 2 == 0) return -1;
  return plat::FileRead(file, buffer, count);
}

TEST_F(ArticleTest, AReadErrorPostsNothing) {
  WriteFile(path, std::string(3 * TArticleFile::kBlockSize, 'x'));
  TArticleFile file(path);
  EXPECT_TRUE(file.Regular());
  EXPECT_EQ(file.Size(), 3 * TArticleFile::kBlockSize);
  file.ReadFile = FailingSecondRead;
  try {
    TMemoryStream body;
    file.ReadBody(body);
    FAIL();
  } catch (const EArticleFile& e) {
    EXPECT_EQ(e.Message(), "Cannot read file " + path);
  }
}

TEST_F(ArticleTest, AFileThatShrankAfterOpeningIsNotPostedInPart) {
  WriteFile(path, std::string(100000, 'x'));
  TArticleFile file(path);
  try {
    WriteFile(path, std::string(50000, 'y'));
  } catch (const EStreamError&) {
    GTEST_SKIP() << "this system keeps writers out while the file is open";
  }
  try {
    TMemoryStream body;
    file.ReadBody(body);
    FAIL();
  } catch (const EArticleFile& e) {
    EXPECT_EQ(e.FileName(), path);
    EXPECT_EQ(e.MessageFormat(), "Cannot read file %s: it became shorter");
  }
}

TEST_F(ArticleTest, AFileTooLargeToHoldGetsAClearMessage) {
  WriteFile(path, std::string(1000, 'x'));
  for (std::uint64_t limit : {999u, 0u}) {
    TArticleFile file(path);
    file.MemoryLimit = limit;
    try {
      TMemoryStream body;
      file.ReadBody(body);
      FAIL() << limit;
    } catch (const EArticleFile& e) {
      EXPECT_EQ(e.Message(), "Cannot post " + path + ": the file is too large to hold in memory");
    }
  }
  TArticleFile file(path);
  file.MemoryLimit = 1000;
  TMemoryStream body;
  file.ReadBody(body);
  EXPECT_EQ(body.Size(), 1000);
}

// ---- header values -----------------------------------------------------------------------

using HeaderLinesList = std::vector<std::string>;

// Undoes folding and the Q encoding, as a reader does, into UTF-8. Every
// encoded-word must hold whole characters: readers decode each alone.
std::string Unfolded(const HeaderLinesList& lines, std::vector<std::string>* words = nullptr) {
  std::string all;
  for (const std::string& l : lines) all += l;
  std::string out;
  for (std::size_t at = 0; at < all.size();) {
    std::size_t start = all.find("=?", at);
    if (start == std::string::npos) {
      out += all.substr(at);
      break;
    }
    std::string between = all.substr(at, start - at);
    // Blanks between two encoded-words are not part of the text.
    if (at == 0 || between.find_first_not_of(' ') != std::string::npos) out += between;
    std::size_t text = all.find("?Q?", start) + 3;
    std::string charset = all.substr(start + 2, text - 3 - start - 2);
    std::size_t end = all.find("?=", text);
    std::string w = all.substr(text, end - text), bytes;
    for (std::size_t k = 0; k < w.size(); ++k) {
      if (w[k] == '_') {
        bytes += ' ';
      } else if (w[k] == '=') {
        bytes += static_cast<char>(std::stoi(w.substr(k + 1, 2), nullptr, 16));
        k += 2;
      } else {
        bytes += w[k];
      }
    }
    std::string utf8 = charset == "UTF-8" ? bytes : ConvertCodePage(bytes, 1250, 65001);
    EXPECT_EQ(ConvertCodePage(utf8, 65001, 65001), utf8) << "a character split: " << w;
    if (words != nullptr) words->push_back(utf8);
    out += utf8;
    at = end + 2;
  }
  return out;
}

void ExpectWellFolded(const HeaderLinesList& lines, const std::string& what) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    // Readers decode whatever looks like an encoded-word: the only ones
    // are ours, or the reader shows something else than was typed.
    for (std::size_t at = 0; (at = lines[i].find("=?", at)) != std::string::npos; at += 2) {
      EXPECT_TRUE(lines[i].compare(at, 17, "=?Windows-1250?Q?") == 0 ||
                  lines[i].compare(at, 10, "=?UTF-8?Q?") == 0)
          << what << ": " << lines[i];
    }
    EXPECT_LE(lines[i].size(), 78u) << what << ": " << lines[i];
    if (i > 0) {
      EXPECT_TRUE(lines[i][0] == ' ' || lines[i][0] == '\t') << what;
      EXPECT_NE(lines[i].find_first_not_of(" \t"), std::string::npos) << what;
    }
  }
}

// Windows-1250 while every character fits it (Polish goes out as it always
// has), UTF-8 as soon as one does not: nothing typed becomes "?".
TEST(HeaderValues, EncodedWordsInWindows1250WhereTheyFitElseInUtf8) {
  struct Case {
    std::string value;
    HeaderLinesList lines;
  } cases[] = {
      {"Plain subject", {"Subject: Plain subject"}},
      {"Zażółć", {"Subject: =?Windows-1250?Q?Za=BF=F3=B3=E6?="}},
      {"5 €", {"Subject: =?Windows-1250?Q?5_=80?="}},
      {"Тема €", {"Subject: =?UTF-8?Q?=D0=A2=D0=B5=D0=BC=D0=B0_=E2=82=AC?="}},
      {"Łódź 😀", {"Subject: =?UTF-8?Q?=C5=81=C3=B3d=C5=BA_=F0=9F=98=80?="}},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(HeaderLines("Subject", k.value, THeaderKind::kText), k.lines) << k.value;
  }
  EXPECT_EQ(HeaderLines("From", "Иван <ivan@example.invalid>", THeaderKind::kAuthor),
            HeaderLinesList{"From: =?UTF-8?Q?=D0=98=D0=B2=D0=B0=D0=BD?= <ivan@example.invalid>"});
  // Bytes that are no UTF-8 are refused, never guessed at.
  EXPECT_THROW(HeaderLines("Subject", "Za\xBF\xF3", THeaderKind::kText), Exception);
}

TEST(HeaderValues, OnlyTheNameOfAnAuthorIsEverEncoded) {
  struct Case {
    std::string value;
    HeaderLinesList lines;
  } cases[] = {
      {"Jan <jan@example.invalid>", {"From: Jan <jan@example.invalid>"}},
      {"\"Jan Łoś\" <jan@example.invalid>",
       {"From: =?Windows-1250?Q?Jan_=A3o=9C?= <jan@example.invalid>"}},
      {"jan@example.invalid (Jan Łoś)",
       {"From: jan@example.invalid (=?Windows-1250?Q?Jan_=A3o=9C?=)"}},
      {"jan@example.invalid (Jan)", {"From: jan@example.invalid (Jan)"}},
      {"jan@example.invalid", {"From: jan@example.invalid"}},
      // A name that readers would decode into something else is encoded.
      {"=?UTF-8?Q?X?= <jan@example.invalid>",
       {"From: =?Windows-1250?Q?=3D=3FUTF-8=3FQ=3FX=3F=3D?= <jan@example.invalid>"}},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(HeaderLines("From", k.value, THeaderKind::kAuthor), k.lines) << k.value;
  }
}

TEST(HeaderValues, AnAddressOutsideAsciiIsRefused) {
  for (std::string value :
       {"Jan <jań@example.invalid>", "jań@example.invalid", "jań@example.invalid (Jan)", "Łoś"}) {
    try {
      HeaderLines("From", value, THeaderKind::kAuthor);
      ADD_FAILURE() << value;
    } catch (const Exception& e) {
      EXPECT_NE(e.Message().find("autor"), std::string::npos);
    }
    EXPECT_THROW(CheckHeaderArguments(value, "pl.test", "s"), Exception);
  }
}

TEST(HeaderValues, LongValuesAreFoldedAndReadBackAsTyped) {
  std::string polish;
  std::string mixed;
  for (int i = 0; i < 20; ++i) polish += "źdźbło ", mixed += "źdźbło Иван 😀€ ";
  std::string ascii;
  for (int i = 0; i < 1000; ++i) ascii += "word" + std::to_string(i) + (i % 7 ? " " : "  ");
  std::string longAuthorName;
  for (int i = 0; i < 30; ++i) longAuthorName += "Name" + std::to_string(i) + " ";
  struct Case {
    const char* what;
    const char* header;
    std::string value;
    THeaderKind kind;
  } cases[] = {
      {"Polish subject", "Subject", polish, THeaderKind::kText},
      {"Polish, Cyrillic, emoji and euro", "Subject", mixed + std::string(990, 'm'),
       THeaderKind::kText},
      {"a Cyrillic name in a comment", "From", "jan@example.invalid (" + mixed + ")",
       THeaderKind::kAuthor},
      {"ten kilobytes of ASCII", "Subject", ascii, THeaderKind::kText},
      {"a word longer than a line", "Subject", std::string(3000, 'w') + " end", THeaderKind::kText},
      {"an encoded-word typed as a subject", "Subject", "=?UTF-8?Q?=C5=BC?= means z",
       THeaderKind::kText},
      {"a long author's name", "From", longAuthorName + "<jan@example.invalid>",
       THeaderKind::kAuthor},
      {"a long Polish name in a comment", "From", "jan@example.invalid (" + polish + ")",
       THeaderKind::kAuthor},
      {"groups with blanks", "Newsgroups", "pl.test, " + ascii.substr(0, 300),
       THeaderKind::kVerbatim},
  };
  for (const Case& k : cases) {
    HeaderLinesList lines = HeaderLines(k.header, k.value, k.kind);
    ExpectWellFolded(lines, k.what);
    EXPECT_EQ(Unfolded(lines), std::string(k.header) + ": " + k.value) << k.what;
  }
  // Plain ASCII stays plain: folded, not encoded.
  HeaderLinesList lines = HeaderLines("Subject", ascii, THeaderKind::kText);
  EXPECT_GT(lines.size(), 100u);
  for (const std::string& l : lines) EXPECT_EQ(l.find("=?"), std::string::npos);
}

// A word of the text is never cut between two encoded-words: some readers
// show the cut as a blank. Each encoded-word but the last ends at a blank.
TEST(HeaderValues, EncodedWordsEndAtBlanks) {
  std::string cyrillic, polish;
  for (int i = 0; i < 12; ++i)
    cyrillic += "Иван Петрович Сидоренко ", polish += "Grzegorz Brzęczyszczykiewicz ";
  struct Case {
    const char* header;
    std::string value;
    THeaderKind kind;
  } cases[] = {
      {"Subject", cyrillic + "конец", THeaderKind::kText},
      {"Subject", polish + "koniec", THeaderKind::kText},
      {"From", polish + "<jan@example.invalid>", THeaderKind::kAuthor},
      {"From", "jan@example.invalid (" + cyrillic + "конец)", THeaderKind::kAuthor},
  };
  for (const Case& k : cases) {
    std::vector<std::string> words;
    HeaderLinesList lines = HeaderLines(k.header, k.value, k.kind);
    EXPECT_EQ(Unfolded(lines, &words), std::string(k.header) + ": " + k.value);
    ASSERT_GT(words.size(), 2u) << k.value;
    for (std::size_t i = 0; i + 1 < words.size(); ++i)
      EXPECT_EQ(words[i].back(), ' ') << k.header << ": " << words[i] << "|" << words[i + 1];
  }
}

TEST(HeaderValues, AWordNoLineCanHoldIsRefusedWhereItCannotBeEncoded) {
  std::string longWord(1200, 'g');
  EXPECT_THROW(CheckHeaderArguments("a <a@example.invalid>", longWord, "s"), Exception);
  EXPECT_THROW(CheckHeaderArguments(longWord + "@example.invalid", "pl.test", "s"), Exception);
  EXPECT_NO_THROW(CheckHeaderArguments("a <a@example.invalid>", "pl.test", longWord));
}

TEST(HeaderValues, LineBreaksInArgumentsAreRefused) {
  EXPECT_NO_THROW(CheckHeaderArguments("a <a@b.invalid>", "pl.test", "Zażółć"));
  EXPECT_THROW(CheckHeaderArguments("a\r\nX-Injected: 1", "pl.test", "s"), Exception);
  EXPECT_THROW(CheckHeaderArguments("a", "pl.test\n", "s"), Exception);
  EXPECT_THROW(CheckHeaderArguments("a", "pl.test", std::string("s\0.\r\nQUIT", 9)), Exception);
}

}  // namespace
