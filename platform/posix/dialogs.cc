#include "platform/dialogs.h"

#include "platform/codepage.h"
#include "platform/console.h"

namespace plat {
namespace {

std::string ToConsole(const std::string& text) { return ConvertCodePage(text, kCpAcp, kCpOemCp); }

void WriteStderr(const std::string& s) { plat::WriteStderr(s.data(), s.size()); }

}  // namespace

void ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon) {
  WriteStderr(ToConsole(caption + ": " + text) + "\n");
}

struct ProgressWindow::Impl {
  std::string caption, label;
  int percent = -1;
  bool shown = false;
  bool terminal = isatty(2) == 1;

  void Draw() {
    if (shown && terminal)
      WriteStderr("\r" + ToConsole(caption + ": " + label) + " " + std::to_string(percent) +
                  "%\x1b[K");
  }
};

ProgressWindow::ProgressWindow(const std::string& caption) : FImpl(std::make_unique<Impl>()) {
  FImpl->caption = caption;
}

ProgressWindow::~ProgressWindow() { Hide(); }

void ProgressWindow::Show(const std::string& label) {
  FImpl->label = label;
  FImpl->percent = 0;
  FImpl->shown = true;
  FImpl->Draw();
}

// Redrawn only when the figure changes: the bar moves once per kilobyte.
void ProgressWindow::SetPosition(int percent) {
  if (percent == FImpl->percent) return;
  FImpl->percent = percent;
  FImpl->Draw();
}

void ProgressWindow::Hide() {
  if (FImpl->shown && FImpl->terminal) WriteStderr("\n");
  FImpl->shown = false;
}

}  // namespace plat
