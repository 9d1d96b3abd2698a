#include "host/serveraccess.h"

#include <cstdlib>

#include "host/cafile.h"
#include "host/compress.h"
#include "host/console.h"
#include "net/WSockLib.h"
#include "net/WSocket.h"
#include "platform/console.h"
#include "platform/userenv.h"
#include "rtl/forms.h"

namespace {

// The variable that turns the dialogue trace on ("1").
constexpr const char* kTraceVariable = "KESTRUN_TRACE";

bool TraceWanted() {
  std::string value;
  return plat::GetEnvironment(kTraceVariable, value) && value == "1";
}

// A trace line to standard error as the bytes it is: the server's lines are
// no program text, and the component's own are ASCII.
void WriteTraceLine(const std::string& text) {
  const std::string line = text + plat::LineEnd();
  plat::WriteStderr(line.data(), line.size());
}

std::string ServerNameReason(TNntpServerNameError error, TLanguage language) {
  if (language == TLanguage::English) return NntpServerNameErrorText(error);
  switch (error) {
    case TNntpServerNameError::EmptyHost:
      return "brak nazwy serwera";
    case TNntpServerNameError::BadPort:
      return "port musi być liczbą od 1 do 65535";
    case TNntpServerNameError::UnknownScheme:
      return "nieznany schemat (dozwolone nntp:// i nntps://)";
    case TNntpServerNameError::BadHost:
      return "niedozwolony znak w nazwie serwera";
    case TNntpServerNameError::Path:
      return "adres serwera nie może mieć ścieżki";
    case TNntpServerNameError::UnclosedBracket:
      return "brak \"]\" po adresie IPv6";
    case TNntpServerNameError::AfterBracket:
      return "po \"]\" może być tylko \":port\"";
    case TNntpServerNameError::NotIpv6:
      return "to nie jest adres IPv6";
    case TNntpServerNameError::UrlNeedsBrackets:
      return "adres IPv6 w adresie URL pisze się w nawiasach kwadratowych";
    case TNntpServerNameError::ZoneNotLinkLocal:
      return "strefę (\"%nazwa\") ma tylko adres lokalny łącza (fe80::)";
    case TNntpServerNameError::None:
      break;
  }
  return "";
}

// The Polish words for the socket error numbers a connection meets (UTF-8
// source text), or nullptr for a number without them.
const char* PolishSocketReason(int error) {
  switch (error) {
    case 10013:
      return "brak uprawnień";
    case 10022:
      return "nieprawidłowy argument";
    case 10048:
      return "adres jest już w użyciu";
    case 10049:
      return "adres niedostępny na tym komputerze";
    case 10050:
      return "sieć nie działa";
    case 10051:
      return "sieć jest nieosiągalna";
    case 10052:
      return "sieć zerwała połączenie";
    case 10053:
      return "połączenie przerwane na tym komputerze";
    case 10054:
      return "połączenie zerwane przez drugą stronę";
    case 10055:
      return "brak miejsca w buforach";
    case 10057:
      return "brak połączenia";
    case 10060:
      return "przekroczony czas oczekiwania";
    case 10061:
      return "odmowa połączenia";
    case 10064:
      return "komputer nie działa";
    case 10065:
      return "komputer jest nieosiągalny";
    case 11001:
      return "nie ma takiego komputera";
    case 11002:
      return "serwer nazw chwilowo nie odpowiada, spróbuj ponownie";
    case 11003:
      return "błąd serwera nazw";
    case 11004:
      return "nazwa nie ma adresu";
    default:
      return nullptr;
  }
}

// " (błąd N: reason)" in UTF-8 source text, the reason where there is one.
std::string PolishErrorNumber(int error) {
  const char* reason = PolishSocketReason(error);
  return " (błąd " + std::to_string(error) + (reason != nullptr ? std::string(": ") + reason : "") +
         ")";
}

// Program text: Polish from UTF-8 source into Windows-1250, English as it is.
TQuotedLine Line(TLanguage language, const std::string& polish, const std::string& english,
                 const std::string& quoted = "") {
  return {language == TLanguage::Polish ? AnsiText(polish) : english, quoted};
}

}  // namespace

std::string TQuotedLine::Text() const {
  std::string text;
  std::size_t from = 0;
  for (std::size_t at; (at = Format.find("%s", from)) != std::string::npos; from = at + 2)
    text += Format.substr(from, at - from) + Quoted;
  return text + Format.substr(from);
}

EServerAccess::EServerAccess(TQuotedLine line) : Exception(line.Text()), FLine(std::move(line)) {}

TServerAccess::TServerAccess(const std::string& argument, TLanguage language)
    : FLanguage(language), FArgument(argument) {
  TNntpServerNameError error = ParseNntpServerName(argument, FServer);
  if (error != TNntpServerNameError::None) {
    std::string reason = ServerNameReason(error, language);
    // The form meant, when the argument is plain ASCII without a "%" (it
    // becomes part of the program's text, in which "%s" is a place).
    bool plain = true;
    for (char c : argument) plain = plain && static_cast<unsigned char>(c) < 0x80 && c != '%';
    if (error == TNntpServerNameError::UrlNeedsBrackets && plain)
      reason +=
          (language == TLanguage::Polish ? ", np. " : ", as in ") + BracketedServerUrl(argument);
    throw EServerAccess(Line(language, "Błędny adres serwera \"%s\": " + reason,
                             "bad server \"%s\": " + reason, argument));
  }

  std::string socks;
  if (plat::GetEnvironment(kSocksVariable, socks) && !socks.empty()) {
    std::string why;
    // Nothing of the value is quoted back: it may hold the password.
    if (!ParseSocksUrl(socks, FSocks, why))
      throw EServerAccess(
          Line(language, std::string("Błędna wartość zmiennej ") + kSocksVariable + ": " + why,
               std::string(kSocksVariable) + ": " + why));
    FViaSocks = true;
  }
  // A SOCKS 4 request has room for an IPv4 address only; 4A and 5 carry
  // the address as the proxy is to read it.
  if (FViaSocks && FSocks.Level == "4" && IsIpv6Address(FServer.Host)) {
    throw EServerAccess(Line(language,
                             std::string("SOCKS 4 (zmienna ") + kSocksVariable +
                                 ") nie przenosi adresów IPv6, więc nie połączy z serwerem %s; "
                                 "użyj socks4a:// lub socks5://",
                             std::string(kSocksVariable) +
                                 ": SOCKS 4 cannot carry the IPv6 address %s; use socks4a:// "
                                 "or socks5://",
                             FServer.Host));
  }

  switch (CaFileFromEnvironment(FCaFile)) {
    case TCaFileSetting::Unreadable:
      throw EServerAccess(Line(
          language,
          std::string("Nie można odczytać pliku \"%s\" podanego w zmiennej ") + kCaFileVariable,
          std::string(kCaFileVariable) + ": cannot read \"%s\"", FCaFile));
    case TCaFileSetting::NoCertificates:
      throw EServerAccess(Line(language,
                               std::string("Plik \"%s\" podany w zmiennej ") + kCaFileVariable +
                                   " nie zawiera certyfikatów PEM",
                               std::string(kCaFileVariable) + ": no PEM certificate in \"%s\"",
                               FCaFile));
    case TCaFileSetting::Usable:
      break;
    case TCaFileSetting::Unset:
      FCaFile.clear();
      break;
  }

  // The netrc file names hosts, not URLs: the address without brackets.
  FNetrc = LookUpNetrc(FServer.Host);
  FPlainLogin = PlainLoginAllowed();
}

void TServerAccess::SetUp(TNntpCli& client) const {
  client.SetHost(FServer.Host);
  client.SetPort(FServer.Port);
  client.SetTls(FServer.Tls);
  client.SetTlsCaFile(FCaFile);
  if (TraceWanted())
    client.OnTrace = [](TObject*, const std::string& text) { WriteTraceLine(text); };
  if (!FViaSocks) return;
  TWSocket& socket = *client.WSocket();
  socket.SetSocksServer(FSocks.Host);
  socket.SetSocksPort(FSocks.Port);
  socket.SetSocksLevel(FSocks.Level);
  socket.SetSocksUsercode(FSocks.User);
  socket.SetSocksPassword(FSocks.Password);
  socket.SetSocksAuthentication(FSocks.Level == "5" && FSocks.HasUser ? socksAuthenticateUsercode
                                                                      : socksNoAuthentication);
}

std::string TServerAccess::Words(const char* polish, const std::string& english) const {
  return FLanguage == TLanguage::Polish ? AnsiText(polish) : english;
}

std::string TServerAccess::ConnectFailure(std::uint16_t error) const {
  std::string why = TlsFailure(error);
  if (why.empty() && FViaSocks) why = SocksFailure(error);
  if (why.empty() && !FViaSocks) why = NetworkFailure(error);
  return why;
}

std::string TServerAccess::TlsFailure(std::uint16_t error) const {
  if (FLanguage == TLanguage::English) {
    if (error < kTlsErrorHandshake || error > kTlsErrorCaFile) return "";
    return SocketErrorText(error);
  }
  const std::string& host = FServer.Host;
  switch (error) {
    case kTlsErrorHandshake:
      return AnsiText("Nie udało się nawiązać połączenia TLS z serwerem " + host);
    case kTlsErrorUntrusted:
      return AnsiText("Certyfikat serwera " + host + " nie jest zaufany");
    case kTlsErrorNameMismatch:
      return AnsiText("Certyfikat serwera wystawiono dla innej nazwy niż " + host);
    case kTlsErrorExpired:
      return AnsiText("Certyfikat serwera " + host + " wygasł lub nie jest jeszcze ważny");
    case kTlsErrorNoCloseNotify:
      return AnsiText("Serwer " + host + " przerwał połączenie TLS");
    case kTlsErrorCaFile:
      return AnsiText(std::string("Nie można użyć pliku certyfikatów ze zmiennej ") +
                      kCaFileVariable);
    default:
      return "";
  }
}

// Never names the user or the password.
std::string TServerAccess::SocksFailure(std::uint16_t error) const {
  const std::string where = SocksEndpoint(FSocks);
  const std::string& host = FServer.Host;
  const std::string number = std::to_string(error);
  const bool pl = FLanguage == TLanguage::Polish;
  const std::string proxy = pl ? "Serwer pośredniczący SOCKS " + where : "the SOCKS proxy " + where;
  std::string text;
  switch (error) {
    case 0:
      return "";
    case 20003:
      text = proxy + (pl ? " nie przyjmuje żadnego z oferowanych sposobów logowania"
                         : " takes none of the offered ways to log in");
      break;
    case 20015:
      text = proxy + (pl ? " nie przyjął nazwy użytkownika lub hasła"
                         : " refused the user name or password");
      break;
    case kSocksClosedDuringNegotiation:
      text = proxy + (pl ? " przerwał połączenie" : " closed the connection");
      break;
    case 20005:
      text = proxy + (pl ? " nie zezwala na połączenie z " : " does not allow a connection to ") +
             host;
      break;
    case 20006:
    case 20007:
    case 20009:
      text = proxy + (pl ? " nie może dotrzeć do " : " cannot reach ") + host;
      break;
    default:
      if (error > 20000 && error < 20100) {
        text = proxy + (pl ? " nie połączył się z " + host + PolishErrorNumber(error)
                           : " did not connect to " + host + " (error " + number + ")");
      } else {
        // The connection to the proxy itself failed.
        text = pl ? "Nie można połączyć się z serwerem pośredniczącym SOCKS " + where +
                        PolishErrorNumber(error)
                  : "cannot connect to the SOCKS proxy " + where + " (error " + number + ")";
      }
  }
  return pl ? AnsiText(text) : text;
}

// The socket reports the last of the server's addresses to fail: that one
// is told.
std::string TServerAccess::NetworkFailure(std::uint16_t error) const {
  if (error < 10000 || error >= 12000) return "";
  const std::string number = std::to_string(error);
  if (FLanguage == TLanguage::English) return SocketErrorText(error) + " (error " + number + ")";
  const std::string& host = FServer.Host;
  std::string text;
  switch (error) {
    case 10061:
      text = "Serwer " + host + " odmówił połączenia";
      break;
    case nntpErrorInactive:
      text = "Serwer " + host + " nie odpowiada";
      break;
    case 10051:
    case 10065:
      text = "Serwer " + host + " jest nieosiągalny";
      break;
    case 11001:
    case 11004:
      text = "Nie znaleziono adresu serwera " + host;
      break;
    default:
      text = "Nie można połączyć się z serwerem " + host;
  }
  return AnsiText(text + PolishErrorNumber(error));
}

std::string TServerAccess::StartTlsFailure(std::uint16_t error, const TNntpCli& client) const {
  std::string reason = TlsFailure(error);
  if (!reason.empty()) return reason;
  if (error >= 100 && error < 600)
    return Words("Serwer odmówił STARTTLS: ", "the server refused STARTTLS: ") +
           client.LastResponse();
  if (FLanguage == TLanguage::English) return "STARTTLS failed (error " + IntToStr(error) + ")";
  return AnsiText("Połączenie TLS z serwerem " + FServer.Host + " nie powiodło się" +
                  PolishErrorNumber(error));
}

TQuotedLine TServerAccess::NetrcNotice() const {
  const TLanguage l = FLanguage;
  const std::string& path = FNetrc.Path;
  switch (FNetrc.Refusal) {
    case TNetrcRefusal::kNone:
      break;
    case TNetrcRefusal::kOpenToOthers:
      return Line(l,
                  "Plik %s mogą czytać lub zmieniać inni użytkownicy, więc Kestrun go nie używa "
                  "(chmod 600)",
                  "%s can be read or changed by other users; not using it (chmod 600 %s)", path);
    case TNetrcRefusal::kNotAFile:
      return Line(l, "Plik %s nie jest zwykłym plikiem, więc Kestrun go nie używa",
                  "%s is not a regular file; not using it", path);
    case TNetrcRefusal::kTooLarge:
      return Line(l, "Plik %s jest większy niż 1 MB, więc Kestrun go nie używa",
                  "%s is larger than 1 MB; not using it", path);
    case TNetrcRefusal::kLineBreak:
      return Line(l,
                  "Plik %s ma znak końca wiersza w loginie lub haśle tego serwera, więc Kestrun "
                  "go nie używa",
                  "%s has a line break in this server's login or password; not using it", path);
  }
  return {};
}

TQuotedLine TServerAccess::NoEntryHint() const {
  const std::string& host = FServer.Host;
  if (!FNetrc.Path.empty()) {
    return Line(FLanguage,
                "Serwer " + host + " wymaga logowania, a w pliku %s nie ma wpisu „machine " + host +
                    " login ... password ...”",
                "the server wants a login, and %s has no entry \"machine " + host +
                    " login ... password ...\"",
                FNetrc.Path);
  }
  std::string searched;
  for (const std::string& path : FNetrc.Searched) searched += (searched.empty() ? "" : ", ") + path;
  if (searched.empty()) searched = "HOME";
  return Line(FLanguage,
              "Serwer " + host + " wymaga logowania, a nie ma pliku netrc z loginem (szukano: %s)",
              "the server wants a login, and there is no netrc file to take it from (looked "
              "for: %s)",
              searched);
}

bool TServerAccess::SecureBeforeLogin(TNntpCli& client, const TRunRequest& run,
                                      std::string& failure, std::string& refusal) const {
  if (client.WSocket()->TlsActive()) return true;
  // A server that does not know CAPABILITIES offers nothing.
  if (run(nntpCapabilities, [&] { client.Capabilities(); }) != 0) return false;
  if (!client.HasCapability("STARTTLS")) return false;
  std::uint16_t error = run(nntpStartTls, [&] { client.StartTls(); });
  // A refusal (580, say) leaves the session as it was, in clear, as the
  // STARTTLS rules allow: whether a password may follow is the caller's
  // business. A handshake that failed has closed the connection.
  if (error >= 100 && error < 600 && client.State() == nntpReady) {
    refusal = client.LastResponse();
    return false;
  }
  if (error != 0) failure = StartTlsFailure(error, client);
  return error == 0;
}

TLogin TServerAccess::LogIn(TNntpCli& client, const TRunRequest& run) const {
  TLogin login;
  login.FileNotice = NetrcNotice();
  if (!FNetrc.Found) {
    if (FNetrc.Refusal == TNetrcRefusal::kNone) login.Hint = NoEntryHint();
    return login;
  }
  const std::string& host = FServer.Host;
  if (client.CompressActive()) {
    // Compressed with the password, it could be guessed from the sizes.
    login.Notice = FLanguage == TLanguage::Polish
                       ? AnsiText("Serwer " + host +
                                  " zażądał logowania po włączeniu kompresji, więc Kestrun nie "
                                  "wysyła mu hasła")
                       : "the server wants a login after compression started: the password is "
                         "not sent";
    return login;
  }
  std::string failure, refusal;
  const bool inTls = SecureBeforeLogin(client, run, failure, refusal);
  if (!failure.empty()) {
    login.Outcome = TLoginOutcome::TlsFailed;
    login.Notice = failure;
    return login;
  }
  // Told to stop, or the server closed, while asking what it offers.
  if (Application->Terminated() || client.State() != nntpReady) {
    login.Outcome = TLoginOutcome::Lost;
    return login;
  }
  if (!inTls && !FPlainLogin && !refusal.empty()) {
    login.Notice = FLanguage == TLanguage::Polish
                       ? AnsiText("Serwer " + host + " odmówił STARTTLS (") + refusal +
                             AnsiText(
                                 "), więc Kestrun nie wysyła mu hasła otwartym tekstem; aby "
                                 "na to pozwolić, ustaw " +
                                 std::string(kPlainLoginVariable) + "=1")
                       : "the server refused STARTTLS (" + refusal +
                             "): the password is not sent in clear (set " +
                             std::string(kPlainLoginVariable) + "=1 to allow it)";
    return login;
  }
  if (!inTls && !FPlainLogin) {
    login.Notice = FLanguage == TLanguage::Polish
                       ? AnsiText("Serwer " + host +
                                  " nie oferuje szyfrowania (STARTTLS), więc Kestrun nie wysyła "
                                  "mu hasła otwartym tekstem; aby na to pozwolić, ustaw " +
                                  kPlainLoginVariable + "=1")
                       : "the server offers no encryption (STARTTLS): the password is not sent "
                         "in clear (set " +
                             std::string(kPlainLoginVariable) + "=1 to allow it)";
    return login;
  }
  client.SetUserName(FNetrc.Login.Login);
  client.SetPassWord(FNetrc.Login.Password);
  std::uint16_t error = run(nntpAuthenticate, [&] { client.Authenticate(); });
  client.SetPassWord("");
  // 281 comes as an error only from the user name step: the server needs
  // no password for this user.
  login.Outcome = error == 0 || error == 281 ? TLoginOutcome::LoggedIn : TLoginOutcome::Refused;
  return login;
}

bool TServerAccess::CompressWanted(const TNntpCli& client, bool worthIt) const {
  return ::CompressWanted(client.WSocket()->PeerAddr(), worthIt);
}

std::string TServerAccess::Compress(TNntpCli& client, const TRunRequest& run, bool wanted,
                                    bool loggedIn) const {
  if (!wanted || client.CompressActive() || client.State() != nntpReady) return "";
  if (run(nntpCapabilities, [&] { client.Capabilities(); }) != 0 || !client.CompressOffered())
    return "";
  if (!loggedIn && client.LoginMayFollow() && FNetrc.Found) return "";
  std::uint16_t error = run(nntpCompress, [&] { client.Compress(); });
  if (error < 100 || error >= 600) return "";
  if (FLanguage == TLanguage::English)
    return "the server refused COMPRESS: " + client.LastResponse() + "; reading uncompressed";
  return AnsiText("Serwer " + FServer.Host + " odmówił kompresji (") + client.LastResponse() +
         AnsiText("), więc artykuł idzie bez niej");
}

std::int32_t IdleLimitMs(std::int32_t limitMs) {
  const char* text = std::getenv("KESTRUN_IDLE_TIMEOUT");
  if (text == nullptr || *text == '\0') return limitMs;
  char* end = nullptr;
  long seconds = std::strtol(text, &end, 10);
  if (*end != '\0' || seconds < 1 || seconds > limitMs / 1000) return limitMs;
  return static_cast<std::int32_t>(seconds * 1000);
}
