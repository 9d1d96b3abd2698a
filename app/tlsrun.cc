#include "app/tlsrun.h"

#include "host/cafile.h"
#include "host/console.h"
#include "nntp/NntpCli.h"
#include "rtl/forms.h"
#include "rtl/sysutils.h"

namespace {

std::string ServerNameReason(TNntpServerNameError error) {
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
    case TNntpServerNameError::None:
      break;
  }
  return "";
}

}  // namespace

TNntpServerName ServerArgument(const std::string& argument) {
  TNntpServerName server;
  TNntpServerNameError error = ParseNntpServerName(argument, server);
  if (error != TNntpServerNameError::None) {
    WriteConsoleLineWith(AnsiText("Błędny adres serwera \"%s\": " + ServerNameReason(error)),
                         argument);
    Halt(1);
  }
  return server;
}

void SetUpServer(TNntpCli& client, const TNntpServerName& server) {
  std::string caFile;
  switch (CaFileFromEnvironment(caFile)) {
    case TCaFileSetting::Unreadable:
      WriteConsoleLineWith(AnsiText(std::string("Nie można odczytać pliku \"%s\" podanego w "
                                                "zmiennej ") +
                                    kCaFileVariable),
                           caFile);
      Halt(1);
    case TCaFileSetting::NoCertificates:
      WriteConsoleLineWith(AnsiText(std::string("Plik \"%s\" podany w zmiennej ") +
                                    kCaFileVariable + " nie zawiera certyfikatów PEM"),
                           caFile);
      Halt(1);
    case TCaFileSetting::Usable:
      client.SetTlsCaFile(caFile);
      break;
    case TCaFileSetting::Unset:
      break;
  }
  client.SetHost(server.Host);
  client.SetPort(server.Port);
  client.SetTls(server.Tls);
}

std::string TlsFailureText(std::uint16_t error, const std::string& host) {
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
