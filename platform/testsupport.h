// What tests need to look at the system's side of things: shortcut files,
// message boxes and the progress window of this process. Only for tests; on
// POSIX, where these are files and lines on standard error, the calls report
// that there is nothing to look at.
#pragma once

#include <string>

namespace plat::testing {

// Whether message boxes and the progress window are real windows here.
bool HasWindows();

struct ShellLinkInfo {
  std::string path, arguments, workingDir;
};
// Reads a shortcut file back through the shell-link object.
bool ReadShellLink(const std::string& file, ShellLinkInfo* out);

struct BoxInfo {
  std::string caption, text;  // UTF-8
  bool icon = false;          // any icon at all
  bool errorIcon = false;     // the error icon
};
// Waits up to `timeoutMs` for a message box of this process, reads it and
// presses its OK button. For a thread other than the one the box blocks.
bool AnswerMessageBox(int timeoutMs, BoxInfo* out);

struct ProgressInfo {
  bool visible = false;
  int left = 0, top = 0, clientWidth = 0, clientHeight = 0;
  std::string label;  // UTF-8
  int position = 0, minimum = 0, maximum = 0, step = 0;
  int labelLeft = 0, labelTop = 0, barLeft = 0, barTop = 0, barWidth = 0, barHeight = 0;
  std::string fontFace;
};
// Finds this process's window with the caption (UTF-8) and reads it.
bool InspectProgressWindow(const std::string& caption, ProgressInfo* out);

// Sets a file's last-write time, in seconds since 1970 (UTC); the C++
// library of the Windows toolchain cannot set a time after 2038.
bool SetLastWriteTime(const std::string& path, long long unixSeconds);

// Sets a variable of the process environment, as the system sees it; an
// empty value removes it.
void SetEnvironment(const std::string& name, const std::string& value);

// Makes an existing file unreadable to the calling thread while the object
// lives, also for root: on POSIX its permissions are taken away and, with
// them, the thread's right to pass over permissions; on Windows it is held
// open with nothing shared.
class UnreadableFile {
 public:
  explicit UnreadableFile(const std::string& path);
  ~UnreadableFile();
  UnreadableFile(const UnreadableFile&) = delete;
  UnreadableFile& operator=(const UnreadableFile&) = delete;

 private:
  std::string FPath;
  long long FSaved = -1;  // the mode and rights (POSIX) or the handle held
  unsigned FRights = 0;
};

}  // namespace plat::testing
