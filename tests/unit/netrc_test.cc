// Finding a server's login in netrc text.
#include "host/netrc.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/unit/scratch_dir.h"

namespace {

std::string Find(const std::string& text, const std::string& host) {
  TNetrcLogin login;
  if (!FindNetrcLogin(text, host, login)) return "-";
  return login.Login + "/" + login.Password;
}

TEST(Netrc, FindsTheEntryOfTheServer) {
  std::string text =
      "machine news.one.test login ann password first\n"
      "machine news.two.test\n"
      "  password second\n"
      "  login bob\n";
  EXPECT_EQ(Find(text, "news.one.test"), "ann/first");
  EXPECT_EQ(Find(text, "news.two.test"), "bob/second");
  EXPECT_EQ(Find(text, "NEWS.TWO.TEST"), "bob/second");
  EXPECT_EQ(Find(text, "news.three.test"), "-");
  EXPECT_EQ(Find(text, "news.one"), "-");  // whole names only
  // A first entry wins over a later one of the same name.
  EXPECT_EQ(Find(text + "machine news.one.test login x password y\n", "news.one.test"),
            "ann/first");
  // Windows files have CR LF line ends; tabs separate too.
  EXPECT_EQ(Find("machine\tsrv\r\nlogin\tu\r\npassword\tp\r\n", "srv"), "u/p");
}

TEST(Netrc, QuotedValuesCommentsAndMacros) {
  EXPECT_EQ(Find("machine s login \"Jan Kowalski\" password \"a \\\"b\\\" c\"", "s"),
            "Jan Kowalski/a \"b\" c");
  // A password may begin with "#": only a line's first token starts a comment.
  EXPECT_EQ(Find("# machine s login no password no\nmachine s login u password #x", "s"), "u/#x");
  // A macro body could contain anything; it ends at an empty line.
  std::string withMacro =
      "macdef init\nmachine s login wrong password wrong\n\n"
      "machine s login right password right\n";
  EXPECT_EQ(Find(withMacro, "s"), "right/right");
  EXPECT_EQ(
      Find("macdef init\r\nmachine s login a password b\r\n\r\nmachine s login c password d", "s"),
      "c/d");
}

TEST(Netrc, IncompleteOrDefaultEntriesDoNotCount) {
  EXPECT_EQ(Find("machine s login u", "s"), "-");
  EXPECT_EQ(Find("machine s password p machine t login u password q", "s"), "-");
  // The default entry would hand its password to any server that asks.
  EXPECT_EQ(Find("default login anyone password secret", "s"), "-");
  EXPECT_EQ(Find("machine s login u password p default login x password y", "s"), "u/p");
  EXPECT_EQ(Find("machine s account acc login u port 119 password p", "s"), "u/p");
  EXPECT_EQ(Find("machine", "s"), "-");
  EXPECT_EQ(Find("machine s login", "s"), "-");
  EXPECT_EQ(Find("", "s"), "-");
}

// The file named by NETRC, for the lookups of one test.
void NameNetrc(const std::string& path) {
  static std::string setting;  // putenv keeps the string itself
  setting = "NETRC=" + path;
  putenv(setting.data());
}

TEST(Netrc, OnlyAFileOfSaneSizeWithSaneValuesIsUsed) {
  ScratchDir dir;
  const std::string entry = "machine s login u password p\n";
  auto padded = [&](std::size_t size) { return entry + std::string(size - entry.size(), '#'); };
  struct Case {
    const char* what;
    std::string text;
    bool found;
    TNetrcRefusal refusal;
  } cases[] = {
      {"a file of the limit's size", padded(kNetrcMaxSize), true, TNetrcRefusal::kNone},
      {"a byte more", padded(kNetrcMaxSize + 1), false, TNetrcRefusal::kTooLarge},
      {"a line break in the password", "machine s login u password \"p\nQUIT\"\n", false,
       TNetrcRefusal::kLineBreak},
      {"a line break in the login", "machine s login \"u\r\n\" password p\n", false,
       TNetrcRefusal::kLineBreak},
      {"a line break in another server's entry", "machine t login u password \"p\nQUIT\"\n" + entry,
       true, TNetrcRefusal::kNone},
  };
  std::string path = dir / "netrc";
  NameNetrc(path);
  for (const Case& k : cases) {
    WriteAll(path, k.text);
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    TNetrcLookup found = LookUpNetrc("s");
    EXPECT_EQ(found.Found, k.found) << k.what;
    EXPECT_EQ(found.Refusal, k.refusal) << k.what;
    EXPECT_EQ(found.Path, path) << k.what;
    if (!k.found) {
      EXPECT_TRUE(found.Login.Password.empty()) << k.what;
    }
  }
  // A folder has no logins to read (on Windows it does not even open).
  NameNetrc(dir.Folder());
  EXPECT_FALSE(LookUpNetrc("s").Found);
}

}  // namespace
