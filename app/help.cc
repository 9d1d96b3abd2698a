#include "app/help.h"

#include "host/console.h"
#include "rtl/sysutils.h"

namespace {

const char kExampleServer[] = "news.example.net";
const char kExampleAuthor[] = "Jan Kowalski <jan.kowalski@example.invalid>";
const char kExampleExtension[] = ".txt";

void Line(const std::string& utf8) { WriteConsoleLine(AnsiText(utf8)); }

void ShowErrorList() {
  Line("Możliwe błędy:");
  Line(IntToStr(1) + " - wyświetlenie pomocy (także w wyniku braku parametrów)");
  Line(IntToStr(2) + " - nie można połączyć się z serwerem");
  Line(IntToStr(3) + " - wysyłanie zakończone błędem z podaniem komunikatu serwera");
}

void ShowUsage(const std::string& exeName, const std::string& baseName) {
  Line("Składnia: " + baseName + " serwer kto grup(a/y) temat plik");
  Line("");
  Line("W której:");
  Line(std::string("serwer    - adres serwera np. ") + kExampleServer);
  Line("kto       - autor w formacie „xxx <yyy@zzz[.invalid]>”:");
  Line("  xxx     - imię i nazwisko lub inny opis wysyłającego");
  Line("  yyy@zzz - adres poczty, w wypadku fikcyjności zakończony „.invalid”");
  Line("grup(a/y) - nazwa grupy lub listą nazw rozdzielonych przecinkami");
  Line("            np. pl.test,pl.news.czytniki");
  Line("temat     - temat artykułu np. „To jest artykuł”");
  Line("plik      - jest nazwą pliku np. " + ChangeFileExt(exeName, kExampleExtension));
  Line("");
  Line("Parametry zawierające odstępy jak temat należy ująć w cudzysłowia");
  Line("");
  Line("Przykład: " + baseName + " " + kExampleServer + " „" + kExampleAuthor +
       "” pl.test „Jakiś Temat”");
  Line(std::string("          Kestrun") + kExampleExtension);
}

void ShowGeneralHelp(const std::string& baseName) {
  Line("");
  Line("Składnia: " + baseName + " [ /bledy | /uzycie | parametry ]");
  Line("");
  Line("/bledy    - informacje o błędach numerycznych jakie publikator generuje");
  Line("/uzycie   - informacje o normalnym użyciu publikatora");
  Line("parametry - normalne użycie publikatora z parametrami jak po /uzycie");
}

}  // namespace

void ShowHelp(const TProductIdentity& identity, const std::string& exePath,
              const std::string& firstArgument) {
  // The identity texts come from the resource already in the ANSI code page.
  WriteConsoleLine(VersionLine(identity.ProductName, identity.ProductVersion));
  WriteConsoleLine(identity.LegalCopyright);
  WriteConsoleLine(identity.ProductUrl);
  WriteConsoleLine("");
  std::string exeName = ExtractFileName(exePath);
  std::string baseName = ChangeFileExt(exeName, "");
  if (SameText(firstArgument, "/bledy")) {
    ShowErrorList();
  } else if (SameText(firstArgument, "/uzycie")) {
    ShowUsage(exeName, baseName);
  } else {
    ShowGeneralHelp(baseName);
  }
}
