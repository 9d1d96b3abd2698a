#include "app/article.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "app/articlesource.h"
#include "host/console.h"
#include "platform/codepage.h"
#include "rtl/sysutils.h"

namespace {

// Lines no longer than this where the words allow, never longer than the
// protocol's limit.
constexpr std::size_t kMaxLine = 78;
constexpr std::size_t kLongestLine = 998;

bool IsAscii(const std::string& s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

// No overlong forms, surrogates or code points past U+10FFFF: strict
// readers refuse them as well.
std::size_t Utf8CharLength(const char* s, std::size_t size, std::size_t at) {
  auto c = static_cast<unsigned char>(s[at]);
  if (c < 0x80) return 1;
  std::size_t extra = (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 0;
  if (extra == 0 || at + extra >= size) return 0;
  std::uint32_t cp = c & (0x3F >> extra);
  for (std::size_t k = 1; k <= extra; ++k) {
    auto d = static_cast<unsigned char>(s[at + k]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (d & 0x3F);
  }
  static const std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return extra + 1;
}

namespace {

bool IsUtf8(const char* s, std::size_t size) {
  for (std::size_t i = 0; i < size;) {
    // Runs of ASCII are most of any text.
    while (i < size && static_cast<unsigned char>(s[i]) < 0x80) ++i;
    if (i == size) break;
    std::size_t n = Utf8CharLength(s, size, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// A header value in the character set its encoded-words declare:
// Windows-1250 when every character has a place in it (so that Polish text
// goes out exactly as it always has), UTF-8 when one has not.
struct TCharsetText {
  std::string bytes;
  bool utf8 = false;
};

TCharsetText InCharset(const std::string& utf8) {
  std::string cp1250 = ConvertCodePage(utf8, plat::kCpUtf8, 1250);
  // A conversion that replaces (or "best fits") a character does not come
  // back the same.
  if (TextToWide(cp1250, 1250) == TextToWide(utf8, plat::kCpUtf8)) return {cp1250, false};
  return {utf8, true};
}

// Whether a reader could take part of the text for an encoded-word and
// show something else than what was typed.
bool LooksEncoded(const std::string& s) {
  std::size_t at = s.find("=?");
  return at != std::string::npos && s.find("?=", at + 2) != std::string::npos;
}

// The command-line parameter that a header's value comes from.
const char* ParameterOf(const std::string& header) {
  if (header == "From") return "autor";
  if (header == "Newsgroups") return "grupy";
  return "temat";
}

const char kTooLarge[] = "Cannot post %s: the file is too large to hold in memory";

Exception TooLong(const std::string& header) {
  return Exception(AnsiText(std::string("Wyraz dłuższy niż wiersz nagłówka w parametrze: ") +
                            ParameterOf(header)));
}

// The format with its "%s" filled with the argument.
std::string Filled(const std::string& format, const std::string& argument) {
  std::size_t at = format.find("%s");
  return at == std::string::npos ? format : format.substr(0, at) + argument + format.substr(at + 2);
}

// Characters that may stand for themselves in a Q-encoded word in any
// header context (RFC 2047, section 5, rule 3).
bool PlainInWord(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '!' ||
         c == '*' || c == '+' || c == '-' || c == '/';
}

std::string QEncoded(unsigned char c) {
  if (c == ' ') return "_";
  if (PlainInWord(c)) return std::string(1, static_cast<char>(c));
  return Format("=%02X", c);
}

const std::string kWordEnd = "?=";

// Appends `value` (UTF-8) as encoded-words to `lines`, starting on the last
// line and folding before a word that would not fit. The first word is set
// off from what the line holds by a blank unless `separate` is false (right
// after the "(" of a comment). A character is never split between two
// words, as readers decode each word on its own.
void AppendEncodedWords(std::vector<std::string>& lines, const std::string& value, bool separate) {
  TCharsetText encoded = InCharset(value);
  const std::string& text = encoded.bytes;
  const std::string wordStart = encoded.utf8 ? "=?UTF-8?Q?" : "=?Windows-1250?Q?";
  std::size_t overhead = wordStart.size() + kWordEnd.size();
  std::size_t i = 0;
  bool first = true;
  while (i < text.size()) {
    std::string& line = lines.back();
    bool fresh = line.size() <= 1 || line.back() == ' ' || (first && !separate);
    std::size_t used = line.size() + (fresh ? 0 : 1);
    std::size_t room = used < kMaxLine ? kMaxLine - used : 0;
    if (room < overhead + 3) {
      lines.push_back(" ");
      continue;
    }
    std::string word;
    // The word as it was just after its last blank, and where the text
    // stood then: a word that is full ends there, so that no word of the
    // text is cut in two (some readers show a cut as a blank).
    std::size_t blankWord = 0, blankAt = 0;
    const std::size_t start = i;
    bool full = false;
    while (i < text.size()) {
      std::size_t length =
          encoded.utf8 ? std::max<std::size_t>(1, Utf8CharLength(text.data(), text.size(), i)) : 1;
      std::string piece;
      for (std::size_t k = 0; k < length; ++k)
        piece += QEncoded(static_cast<unsigned char>(text[i + k]));
      if (word.size() + piece.size() + overhead > std::min<std::size_t>(room, 75)) {
        full = true;
        break;
      }
      word += piece;
      i += length;
      if (text[i - 1] == ' ') {
        blankWord = word.size();
        blankAt = i;
      }
    }
    if (full && blankWord > 0) {
      word.resize(blankWord);
      i = blankAt;
    } else if (full && (!first || lines.size() > 1) && line.size() > 1) {
      // No blank to end at: a line of its own gives the word more room.
      i = start;
      lines.push_back(" ");
      continue;
    }
    if (word.empty()) {
      lines.push_back(" ");
      continue;
    }
    if (!fresh) line += ' ';
    line += wordStart + word + kWordEnd;
    first = false;
  }
}

// Appends plain text, moving it to a folded line of its own when it would
// make the current one too long.
void AppendPlain(std::vector<std::string>& lines, const std::string& text) {
  if (lines.back().size() + 1 + text.size() > kMaxLine) {
    lines.push_back(" " + text);
  } else {
    lines.back() += " " + text;
  }
}

// Appends ASCII text to the last line, folding before a run of blanks where
// the line would pass 78 characters. The blanks begin the next line, so
// that unfolding gives back the text exactly; trailing blanks stay on their
// line (a line of blanks alone is not allowed). Returns false when a line
// is longer than 998 characters all the same.
bool AppendFolded(std::vector<std::string>& lines, const std::string& text) {
  bool lineHasText = lines.size() > 1;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t j = i;
    while (j < text.size() && IsBlank(text[j])) ++j;
    bool blanksOnly = j == text.size();
    while (j < text.size() && !IsBlank(text[j])) ++j;
    std::string piece = text.substr(i, j - i);
    std::string& line = lines.back();
    if (lineHasText && IsBlank(piece[0]) && !blanksOnly && line.size() + piece.size() > kMaxLine) {
      lines.push_back(piece);
    } else {
      line += piece;
    }
    lineHasText = true;
    i = j;
  }
  for (const std::string& line : lines) {
    if (line.size() > kLongestLine) return false;
  }
  return true;
}

void RequireAsciiAddress(const std::string& address) {
  if (!IsAscii(address)) {
    throw Exception(AnsiText("Adres w parametrze autor może zawierać tylko znaki ASCII"));
  }
}

// The From value: "Name <address>", "address (Name)" or an address alone.
// Only the name is encoded where it needs to be; the address never is.
void AppendAuthor(std::vector<std::string>& lines, const std::string& value) {
  std::size_t lt = value.rfind('<');
  std::size_t gt = lt == std::string::npos ? lt : value.find('>', lt);
  std::size_t open = value.find('(');
  std::size_t close = value.rfind(')');
  if (gt != std::string::npos) {
    std::string phrase = Trim(value.substr(0, lt));
    std::string address = value.substr(lt);
    RequireAsciiAddress(address);
    if (IsAscii(phrase) && !LooksEncoded(phrase)) {
      if (!AppendFolded(lines, value)) throw TooLong("From");
      return;
    }
    // An encoded-word inside quotes is not decoded: drop the quotes.
    if (phrase.size() >= 2 && phrase.front() == '"' && phrase.back() == '"')
      phrase = phrase.substr(1, phrase.size() - 2);
    AppendEncodedWords(lines, phrase, true);
    AppendPlain(lines, address);
  } else if (open != std::string::npos && close != std::string::npos && close > open) {
    std::string address = value.substr(0, open);
    std::string comment = value.substr(open + 1, close - open - 1);
    std::string after = value.substr(close + 1);
    RequireAsciiAddress(address + after);
    if (IsAscii(comment) && !LooksEncoded(comment)) {
      if (!AppendFolded(lines, value)) throw TooLong("From");
      return;
    }
    lines.back() += address + "(";
    AppendEncodedWords(lines, comment, false);
    lines.back() += ")" + after;
  } else {
    RequireAsciiAddress(value);
    if (!AppendFolded(lines, value)) throw TooLong("From");
  }
  for (const std::string& line : lines) {
    if (line.size() > kLongestLine) throw TooLong("From");
  }
}

// One line (without its line end) with a leading dot doubled, then CR LF.
std::string ArticleLine(const std::string& line) {
  return ((!line.empty() && line[0] == '.') ? "." + line : line) + "\r\n";
}

}  // namespace

void CheckHeaderArguments(const std::string& author, const std::string& groups,
                          const std::string& subject) {
  const std::pair<const char*, const std::string*> args[] = {
      {"autor", &author}, {"grupy", &groups}, {"temat", &subject}};
  for (const auto& [what, value] : args) {
    if (value->find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
      throw Exception(
          AnsiText(std::string("Niedozwolony znak końca wiersza w parametrze: ") + what));
    }
  }
  HeaderLines("From", author, THeaderKind::kAuthor);
  HeaderLines("Newsgroups", groups, THeaderKind::kVerbatim);
  HeaderLines("Subject", subject, THeaderKind::kText);
}

std::vector<std::string> HeaderLines(const std::string& name, const std::string& value,
                                     THeaderKind kind) {
  if (!IsUtf8(value.data(), value.size())) {
    throw Exception(AnsiText(std::string("Tekst spoza UTF-8 w parametrze: ") + ParameterOf(name)));
  }
  std::vector<std::string> lines{name + ": "};
  switch (kind) {
    case THeaderKind::kAuthor:
      AppendAuthor(lines, value);
      break;
    case THeaderKind::kVerbatim:
      if (!AppendFolded(lines, value)) throw TooLong(name);
      break;
    case THeaderKind::kText:
      if (!IsAscii(value) || LooksEncoded(value) || !AppendFolded(lines, value)) {
        // Encoded-words may be broken anywhere, so this always fits.
        lines.assign(1, name + ": ");
        AppendEncodedWords(lines, value, true);
      }
      break;
  }
  return lines;
}

EArticleFile::EArticleFile(const std::string& format, const std::string& fileName)
    : Exception(Filled(format, fileName)), FFormat(format), FFileName(fileName) {}

TArticleFile::TArticleFile(const std::string& path) : FPath(path) {
  FHandle = plat::FileOpenRead(path.c_str());
  if (FHandle == plat::kNoFile) throw EArticleFile("Cannot open file %s", path);
  // The destructor does not run when the constructor fails.
  auto fail = [&](const char* format) {
    plat::FileClose(FHandle);
    FHandle = plat::kNoFile;
    throw EArticleFile(format, path);
  };
  FKind = plat::FileKindOf(FHandle);
  if (FKind == plat::FileKind::kDirectory) fail("Cannot post %s: it is a directory");
  if (FKind == plat::FileKind::kRegular) {
    FSize = plat::FileSeek(FHandle, 0, 2);
    if (FSize < 0 || plat::FileSeek(FHandle, 0, 0) != 0) fail("Cannot read file %s");
  }
}

TArticleFile::~TArticleFile() { plat::FileClose(FHandle); }

void TArticleFile::Rewind() {
  if (plat::FileSeek(FHandle, 0, 0) != 0) throw EArticleFile("Cannot read file %s", FPath);
}

std::int32_t TArticleFile::ReadBlock(void* buffer, std::int32_t count) {
  std::int32_t n = ReadFile(FHandle, buffer, count);
  if (n < 0) throw EArticleFile("Cannot read file %s", FPath);
  return n;
}

void TArticleFile::ReadBody(TMemoryStream& body, std::size_t spare) {
  // Sizes are unsigned and checked against the largest buffer there can be,
  // so that no size a file system reports can overflow a sum.
  std::uint64_t largest = std::min<std::uint64_t>(MemoryLimit, PTRDIFF_MAX);
  auto start = static_cast<std::uint64_t>(body.Size());
  try {
    if (Regular()) {
      auto size = static_cast<std::uint64_t>(FSize);
      if (size > largest) throw EArticleFile(kTooLarge, FPath);
      // The same room the dots took when the body was copied line by line.
      std::uint64_t want = start + size + size / 64 + 16 + spare;
      body.Reserve(static_cast<std::size_t>(std::min<std::uint64_t>(want, PTRDIFF_MAX)));
    }
    for (;;) {
      std::int32_t want = kBlockSize;
      auto total = static_cast<std::uint64_t>(body.Size()) - start;
      if (Regular()) {
        if (total == static_cast<std::uint64_t>(FSize)) break;
        want = static_cast<std::int32_t>(
            std::min<std::uint64_t>(static_cast<std::uint64_t>(FSize) - total, kBlockSize));
      }
      std::int64_t at = body.Size();
      body.SetSize(at + want);
      std::int32_t got = ReadFile(FHandle, body.Memory() + at, want);
      body.SetSize(at + std::max(got, 0));
      if (got < 0) throw EArticleFile("Cannot read file %s", FPath);
      if (got == 0) {
        // The end of a stream; for a regular file, the end came before the
        // size it had when it was opened: it is not posted in part.
        if (Regular()) throw EArticleFile("Cannot read file %s: it became shorter", FPath);
        break;
      }
      if (total + static_cast<std::uint64_t>(got) > largest) throw EArticleFile(kTooLarge, FPath);
    }
  } catch (const std::bad_alloc&) {
    throw EArticleFile(kTooLarge, FPath);
  } catch (const std::length_error&) {
    throw EArticleFile(kTooLarge, FPath);
  }
}

TArticleHeaders ArticleHeaders(const std::string& author, const std::string& groups,
                               const std::string& subject, const TProductIdentity& identity) {
  TArticleHeaders h;
  auto add = [](std::string& to, const std::vector<std::string>& lines) {
    for (const std::string& l : lines) to += ArticleLine(l);
  };
  add(h.BeforeID, HeaderLines("From", author, THeaderKind::kAuthor));
  add(h.BeforeID, HeaderLines("Newsgroups", groups, THeaderKind::kVerbatim));
  add(h.BeforeID, HeaderLines("Subject", subject, THeaderKind::kText));
  h.BeforeCharset =
      ArticleLine("User-Agent: " + UserAgentText(identity.ProductName, identity.ProductVersion));
  h.BeforeCharset += ArticleLine("Mime-Version: 1.0");
  h.BeforeCharset += "Content-Type: text/plain; charset=";
  h.AfterCharset = "\r\n" + ArticleLine("Content-Transfer-Encoding: 8bit");
  // A header with an empty value is refused by news servers: leave it out.
  if (!identity.ProductUrl.empty())
    h.AfterCharset += ArticleLine("X-User-Agent-Url: " + identity.ProductUrl);
  h.AfterCharset += "\r\n";
  return h;
}
