// Message boxes and the progress window. Texts are in the program's ANSI
// code page.
#pragma once

#include <memory>
#include <string>

namespace plat {

enum class BoxIcon { kNone, kError };

// A modal box with one OK button, the icon asked for (or none) and no owner
// window. On POSIX the caption
// and the text go to standard error as one line, in the console's encoding.
void ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon);

// A small window with a caption, a label and a progress bar from 0 to 100.
// On Windows a real window of fixed size; on POSIX a progress line on
// standard error while that is a terminal, and nothing otherwise.
class ProgressWindow {
 public:
  explicit ProgressWindow(const std::string& caption);
  ~ProgressWindow();
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;

  void Show(const std::string& label);
  void SetPosition(int percent);
  void Hide();

  struct Impl;

 private:
  std::unique_ptr<Impl> FImpl;
};

}  // namespace plat
