#include "app/article.h"

#include <cstring>
#include <memory>
#include <vector>

#include "host/console.h"
#include "rtl/sysutils.h"

namespace {

constexpr std::size_t kMaxLine = 78;

bool IsAscii(const std::string& s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
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

const char kWordStart[] = "=?Windows-1250?Q?";
const char kWordEnd[] = "?=";

// Appends `text` as encoded-words to `lines`, starting on the last line and
// folding before a word that would not fit.
void AppendEncodedWords(std::vector<std::string>& lines, const std::string& text) {
  std::size_t overhead = sizeof kWordStart - 1 + sizeof kWordEnd - 1;
  std::size_t i = 0;
  while (i < text.size()) {
    std::string& line = lines.back();
    bool fresh = line.size() <= 1 || line.back() == ' ';
    std::size_t used = line.size() + (fresh ? 0 : 1);
    std::size_t room = used < kMaxLine ? kMaxLine - used : 0;
    if (room < overhead + 3) {
      lines.push_back(" ");
      continue;
    }
    std::string word;
    while (i < text.size()) {
      std::string piece = QEncoded(static_cast<unsigned char>(text[i]));
      if (word.size() + piece.size() + overhead > std::min<std::size_t>(room, 75)) break;
      word += piece;
      ++i;
    }
    if (word.empty()) {
      lines.push_back(" ");
      continue;
    }
    if (!fresh) line += ' ';
    line += kWordStart + word + kWordEnd;
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

}  // namespace

void AddArticleLine(TStream& article, const std::string& line) {
  std::string out = (!line.empty() && line[0] == '.') ? "." + line : line;
  out += "\r\n";
  article.WriteBuffer(out.data(), static_cast<std::int32_t>(out.size()));
}

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
}

std::vector<std::string> HeaderLines(const std::string& name, const std::string& value,
                                     bool isAddress) {
  std::vector<std::string> lines{name + ": "};
  if (IsAscii(value)) {
    lines[0] += value;
    return lines;
  }
  std::string phrase = value, rest;
  if (isAddress) {
    // "Name <address>": only the name may be encoded, never the address.
    std::size_t lt = value.rfind('<');
    if (lt != std::string::npos && value.find('>', lt) != std::string::npos) {
      phrase = Trim(value.substr(0, lt));
      rest = value.substr(lt);
      // An encoded-word inside quotes is not decoded: drop the quotes.
      if (phrase.size() >= 2 && phrase.front() == '"' && phrase.back() == '"')
        phrase = phrase.substr(1, phrase.size() - 2);
    }
  }
  if (IsAscii(phrase)) {
    lines[0] += phrase;
  } else {
    AppendEncodedWords(lines, phrase);
  }
  if (!rest.empty()) {
    if (phrase.empty()) {
      lines[0] += rest;
    } else {
      AppendPlain(lines, rest);
    }
  }
  return lines;
}

void AssembleArticle(TStream& article, const std::string& author, const std::string& groups,
                     const std::string& subject, const std::string& path,
                     const TProductIdentity& identity) {
  auto add = [&](const std::vector<std::string>& lines) {
    for (const std::string& l : lines) AddArticleLine(article, l);
  };
  add(HeaderLines("From", author, true));
  AddArticleLine(article, "Newsgroups: " + groups);
  add(HeaderLines("Subject", subject, false));
  AddArticleLine(article,
                 "User-Agent: " + UserAgentText(identity.ProductName, identity.ProductVersion));
  AddArticleLine(article, "Mime-Version: 1.0");
  AddArticleLine(article, "Content-Type: text/plain; charset=Windows-1250");
  AddArticleLine(article, "Content-Transfer-Encoding: 8bit");
  // A header with an empty value is refused by news servers: leave it out.
  if (!identity.ProductUrl.empty())
    AddArticleLine(article, "X-User-Agent-Url: " + identity.ProductUrl);
  AddArticleLine(article, "");

  TFileStream file(path, fmOpenRead | fmShareDenyWrite);
  std::int64_t size = file.Size();
  if (auto* memory = dynamic_cast<TMemoryStream*>(&article)) {
    memory->Reserve(static_cast<std::size_t>(memory->Size() + size + size / 64 + 16));
  }
  // Copied in blocks; a dot that begins a line (at the start of the file or
  // after a line feed) gets a second dot in front of it.
  std::vector<char> block(64 * 1024);
  bool lineStart = true;
  for (std::int64_t left = size; left > 0;) {
    std::int32_t want = static_cast<std::int32_t>(
        std::min<std::int64_t>(left, static_cast<std::int64_t>(block.size())));
    std::int32_t got = file.Read(block.data(), want);
    if (got <= 0) break;
    left -= got;
    const char* data = block.data();
    const char* end = data + got;
    const char* from = data;
    if (lineStart && *data == '.') article.WriteBuffer(".", 1);
    // Only the byte after each line feed can start a dotted line.
    for (const char* nl = data; (nl = static_cast<const char*>(std::memchr(
                                     nl, '\n', static_cast<std::size_t>(end - nl)))) != nullptr;) {
      ++nl;
      if (nl < end && *nl == '.') {
        article.WriteBuffer(from, static_cast<std::int32_t>(nl - from));
        article.WriteBuffer(".", 1);
        from = nl;
      }
      if (nl == end) break;
    }
    article.WriteBuffer(from, static_cast<std::int32_t>(end - from));
    lineStart = end[-1] == '\n';
  }
  article.SetPosition(0);
}
