// The article text, byte for byte.
#include "app/article.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "host/console.h"

namespace {

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
    {
      TFileStream f(path, fmCreate);
      f.WriteBuffer(body.data(), static_cast<std::int32_t>(body.size()));
    }
    TMemoryStream article;
    AssembleArticle(article, author, "pl.test,pl.news.czytniki", subject, path, identity);
    EXPECT_EQ(article.Position(), 0);
    return std::string(article.Memory(), static_cast<std::size_t>(article.Size()));
  }
  std::string Headers(const std::string& from = "Jan <jan@example.invalid>",
                      const std::string& subject = "Test") {
    return "From: " + from + "\r\nNewsgroups: pl.test,pl.news.czytniki\r\nSubject: " + subject +
           "\r\nUser-Agent: Kestrun/1.02.03.04\r\nMime-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=Windows-1250\r\nContent-Transfer-Encoding: 8bit\r\n"
           "X-User-Agent-Url: https://kestrun.example.org/\r\n\r\n";
  }
};

TEST_F(ArticleTest, HeaderBlockAndEmptyBody) {
  EXPECT_EQ(Assemble(""), Headers());
  EXPECT_EQ(Assemble("", "Jan <jan@example.invalid>", ""),
            Headers("Jan <jan@example.invalid>", ""));
}

TEST_F(ArticleTest, BodyKeepsItsBytesAndDoublesLeadingDots) {
  EXPECT_EQ(Assemble(".\r\n.start\r\nmid.dle\r\n..two\r\n"),
            Headers() + "..\r\n..start\r\nmid.dle\r\n...two\r\n");
  // LF-only line ends stay as they are; a dot after a lone LF still leads a line.
  EXPECT_EQ(Assemble("a\n.b\nc"), Headers() + "a\n..b\nc");
  EXPECT_EQ(Assemble(".no final line end"), Headers() + "..no final line end");
  std::string big(200000, 'x');
  for (std::size_t i = 0; i < big.size(); i += 1000) big[i] = '\n', big[i + 1] = '.';
  std::string want = Headers();
  for (std::size_t i = 0; i < big.size(); ++i) {
    want += big[i];
    if (big[i] == '\n' && i + 1 < big.size() && big[i + 1] == '.') want += '.';
  }
  EXPECT_TRUE(Assemble(big) == want);  // dots at block boundaries too
}

TEST_F(ArticleTest, EmptyProductUrlLeavesItsHeaderOut) {
  identity.ProductUrl.clear();
  std::string h = Headers();
  h.erase(h.find("X-User-Agent-Url"),
          std::string("X-User-Agent-Url: https://kestrun.example.org/\r\n").size());
  EXPECT_EQ(Assemble("x"), h + "x");
}

TEST_F(ArticleTest, MissingFileNamesIt) {
  TMemoryStream article;
  try {
    AssembleArticle(article, "a", "pl.test", "s", "no/such/file.txt", identity);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Cannot open file no/such/file.txt");
  }
}

TEST(HeaderValues, AsciiStaysAndPolishIsEncodedInWindows1250) {
  EXPECT_EQ(HeaderLines("Subject", "Plain subject", false),
            std::vector<std::string>{"Subject: Plain subject"});
  EXPECT_EQ(HeaderLines("Subject", AnsiText("Zażółć"), false),
            std::vector<std::string>{"Subject: =?Windows-1250?Q?Za=BF=F3=B3=E6?="});
  // Only the display name is encoded, never the address; quotes go.
  EXPECT_EQ(HeaderLines("From", AnsiText("\"Jan Łoś\" <jan@example.invalid>"), true),
            std::vector<std::string>{"From: =?Windows-1250?Q?Jan_=A3o=9C?= <jan@example.invalid>"});
  EXPECT_EQ(HeaderLines("From", "jan@example.invalid", true),
            std::vector<std::string>{"From: jan@example.invalid"});
}

TEST(HeaderValues, LongValuesAreFoldedWithin78Characters) {
  std::string subject;
  for (int i = 0; i < 20; ++i) subject += AnsiText("źdźbło ");
  std::vector<std::string> lines = HeaderLines("Subject", subject, false);
  ASSERT_GT(lines.size(), 1u);
  std::string decoded;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_LE(lines[i].size(), 78u) << lines[i];
    if (i > 0) {
      EXPECT_EQ(lines[i][0], ' ');
    }
    // Undo the Q encoding to check that nothing was lost.
    std::size_t at = 0;
    while ((at = lines[i].find("=?Windows-1250?Q?", at)) != std::string::npos) {
      std::size_t end = lines[i].find("?=", at + 17);
      std::string w = lines[i].substr(at + 17, end - at - 17);
      for (std::size_t k = 0; k < w.size(); ++k) {
        if (w[k] == '_') {
          decoded += ' ';
        } else if (w[k] == '=') {
          decoded += static_cast<char>(std::stoi(w.substr(k + 1, 2), nullptr, 16));
          k += 2;
        } else {
          decoded += w[k];
        }
      }
      at = end + 2;
    }
  }
  EXPECT_EQ(decoded, subject);
}

TEST(HeaderValues, LineBreaksInArgumentsAreRefused) {
  EXPECT_NO_THROW(CheckHeaderArguments("a <a@b.invalid>", "pl.test", AnsiText("Zażółć")));
  EXPECT_THROW(CheckHeaderArguments("a\r\nX-Injected: 1", "pl.test", "s"), Exception);
  EXPECT_THROW(CheckHeaderArguments("a", "pl.test\n", "s"), Exception);
  EXPECT_THROW(CheckHeaderArguments("a", "pl.test", std::string("s\0.\r\nQUIT", 9)), Exception);
}

}  // namespace
