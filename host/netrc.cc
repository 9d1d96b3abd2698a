#include "host/netrc.h"

#include <vector>

#include "platform/files.h"
#include "platform/userenv.h"
#include "rtl/sysutils.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Splits netrc text into tokens: runs of non-blank characters, or a double
// quoted value in which a backslash takes the next character as it is.
// Lines that begin with "#" are comments; a macdef body (the lines after
// "macdef NAME" up to an empty line) is skipped.
class Tokens {
 public:
  explicit Tokens(const std::string& text) : text_(text) {}

  bool Next(std::string& token) {
    for (;;) {
      while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
      if (pos_ >= text_.size()) return false;
      if (text_[pos_] == '#' && AtLineStart()) {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
        continue;
      }
      break;
    }
    token.clear();
    if (text_[pos_] == '"') {
      ++pos_;
      while (pos_ < text_.size() && text_[pos_] != '"') {
        if (text_[pos_] == '\\' && pos_ + 1 < text_.size()) ++pos_;
        token += text_[pos_++];
      }
      if (pos_ < text_.size()) ++pos_;  // the closing quote
      return true;
    }
    while (pos_ < text_.size() && !IsBlank(text_[pos_])) token += text_[pos_++];
    return true;
  }

  void SkipMacroBody() {
    // The rest of the "macdef NAME" line, then lines up to an empty one.
    while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
    while (pos_ < text_.size()) {
      ++pos_;  // past the line end
      std::size_t end = text_.find('\n', pos_);
      std::string line =
          text_.substr(pos_, end == std::string::npos ? std::string::npos : end - pos_);
      if (Trim(line).empty()) return;
      if (end == std::string::npos) {
        pos_ = text_.size();
        return;
      }
      pos_ = end;
    }
  }

 private:
  bool AtLineStart() const {
    std::size_t i = pos_;
    while (i > 0 && (text_[i - 1] == ' ' || text_[i - 1] == '\t')) --i;
    return i == 0 || text_[i - 1] == '\n' || text_[i - 1] == '\r';
  }
  const std::string& text_;
  std::size_t pos_ = 0;
};

enum class TOpen : std::uint8_t { kRead, kMissing, kNotAFile, kTooLarge };

TOpen ReadLoginFile(const std::string& path, std::string& text) {
  plat::FileHandle f = plat::FileOpenReadNoWait(path.c_str());
  if (f == plat::kNoFile) return TOpen::kMissing;
  TOpen result = TOpen::kRead;
  std::int64_t size = 0;
  if (plat::FileKindOf(f) != plat::FileKind::kRegular) {
    result = TOpen::kNotAFile;
  } else if ((size = plat::FileSeek(f, 0, 2)) < 0 || plat::FileSeek(f, 0, 0) != 0) {
    result = TOpen::kNotAFile;
  } else if (size > kNetrcMaxSize) {
    result = TOpen::kTooLarge;
  } else {
    // Read up to one byte past the limit: a file that grows meanwhile is
    // caught as well.
    text.clear();
    char buf[4096];
    for (;;) {
      std::int32_t n = plat::FileRead(f, buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<std::size_t>(n));
      if (text.size() > static_cast<std::size_t>(kNetrcMaxSize)) {
        result = TOpen::kTooLarge;
        break;
      }
    }
  }
  plat::FileClose(f);
  return result;
}

bool HasLineBreak(const std::string& s) {
  return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

}  // namespace

bool FindNetrcLogin(const std::string& text, const std::string& host, TNetrcLogin& login) {
  Tokens tokens(text);
  std::string token;
  bool inEntry = false;  // inside the entry of `host`
  TNetrcLogin found;
  bool haveLogin = false, havePassword = false;
  auto finish = [&] {
    if (inEntry && haveLogin && havePassword) {
      login = found;
      return true;
    }
    return false;
  };
  while (tokens.Next(token)) {
    if (token == "machine" || token == "default") {
      if (finish()) return true;
      inEntry = false;
      if (token == "machine") {
        std::string name;
        if (!tokens.Next(name)) break;
        inEntry = SameText(name, host);
        found = {};
        haveLogin = havePassword = false;
      }
    } else if (token == "login" || token == "password" || token == "account" || token == "port") {
      std::string value;
      if (!tokens.Next(value)) break;
      if (!inEntry) continue;
      if (token == "login") {
        found.Login = value;
        haveLogin = true;
      } else if (token == "password") {
        found.Password = value;
        havePassword = true;
      }
    } else if (token == "macdef") {
      tokens.SkipMacroBody();
    }
  }
  return finish();
}

TNetrcLookup LookUpNetrc(const std::string& host) {
  TNetrcLookup result;
  std::vector<std::string> candidates;
  std::string named;
  if (plat::GetEnvironment("NETRC", named) && !named.empty()) {
    candidates.push_back(named);  // when named, this file or none
  } else {
    candidates = plat::NetrcCandidates();
  }
  result.Searched = candidates;
  for (const std::string& path : candidates) {
    std::string text;
    TOpen opened = ReadLoginFile(path, text);
    if (opened == TOpen::kMissing) continue;
    result.Path = path;
    if (opened == TOpen::kNotAFile) {
      result.Refusal = TNetrcRefusal::kNotAFile;
    } else if (opened == TOpen::kTooLarge) {
      result.Refusal = TNetrcRefusal::kTooLarge;
    } else if (plat::FileOpenToOthers(path)) {
      result.Refusal = TNetrcRefusal::kOpenToOthers;
    } else if (FindNetrcLogin(text, host, result.Login)) {
      // Such a value would end the login command early and send the rest
      // as a command of its own.
      if (HasLineBreak(result.Login.Login) || HasLineBreak(result.Login.Password)) {
        result.Refusal = TNetrcRefusal::kLineBreak;
        result.Login = {};
      } else {
        result.Found = true;
      }
    }
    return result;
  }
  return result;
}

bool PlainLoginAllowed() {
  std::string value;
  return plat::GetEnvironment(kPlainLoginVariable, value) && value == "1";
}
