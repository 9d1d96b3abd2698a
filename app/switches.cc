#include "app/switches.h"

#include "host/console.h"
#include "host/shortcut.h"
#include "packager/packager.h"
#include "platform/dialogs.h"
#include "platform/files.h"

bool HandleSwitch(const std::string& argument, const TProductIdentity& identity) {
  if (argument == "-nainternet") {
    // The builder reads the second argument itself: "is" or the root.
    bool ok = PublishFile(plat::ModuleFileName()) && PublishModules();
    if (!ok)
      plat::ShowMessageBox(
          AnsiText("Błąd transferu"),
          AnsiText("Któregoś z plików nie udało się wysłać. Instalacja wstrzymana !"),
          plat::BoxIcon::kError);
    return true;
  }
  if (argument == "-zarejestruj") {
    CreateDesktopShortcut(identity.ProductName);
    return true;
  }
  return false;
}
