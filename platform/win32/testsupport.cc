#include "platform/testsupport.h"

#include "platform/win32/win.h"
// After the Windows headers: the shell, COM and common controls build on them.
#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdlib>
#include <vector>

namespace plat::testing {
namespace {

std::string Utf8(const std::wstring& w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

std::wstring FromUtf8(const std::string& s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::wstring TextOf(HWND w) {
  int n = GetWindowTextLengthW(w);
  std::wstring s(static_cast<std::size_t>(n) + 1, L'\0');
  n = GetWindowTextW(w, s.data(), n + 1);
  s.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  return s;
}

std::wstring ClassOf(HWND w) {
  wchar_t buf[64] = {};
  GetClassNameW(w, buf, 64);
  return buf;
}

struct Search {
  std::wstring className, caption;
  HWND found = nullptr;
};

BOOL CALLBACK FindOwnWindow(HWND w, LPARAM param) {
  auto* s = reinterpret_cast<Search*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (pid != GetCurrentProcessId() || !IsWindowVisible(w)) return TRUE;
  if (!s->className.empty() && ClassOf(w) != s->className) return TRUE;
  if (!s->caption.empty() && TextOf(w) != s->caption) return TRUE;
  s->found = w;
  return FALSE;
}

BOOL CALLBACK CollectChild(HWND w, LPARAM param) {
  reinterpret_cast<std::vector<HWND>*>(param)->push_back(w);
  return TRUE;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> all;
  EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&all));
  return all;
}

}  // namespace

bool HasWindows() { return true; }

bool ReadShellLink(const std::string& file, ShellLinkInfo* out) {
  HRESULT init = CoInitialize(nullptr);
  IShellLinkA* link = nullptr;
  IPersistFile* persist = nullptr;
  bool ok = SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IShellLinkA, reinterpret_cast<void**>(&link))) &&
            SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)));
  if (ok) {
    int n = MultiByteToWideChar(CP_ACP, 0, file.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, file.c_str(), -1, wide.data(), n);
    ok = SUCCEEDED(persist->Load(wide.c_str(), STGM_READ));
  }
  if (ok) {
    char buf[1024];
    WIN32_FIND_DATAA fd;
    ok = SUCCEEDED(link->GetPath(buf, sizeof buf, &fd, SLGP_RAWPATH));
    out->path = buf;
    buf[0] = '\0';
    link->GetArguments(buf, sizeof buf);
    out->arguments = buf;
    buf[0] = '\0';
    link->GetWorkingDirectory(buf, sizeof buf);
    out->workingDir = buf;
  }
  if (persist != nullptr) persist->Release();
  if (link != nullptr) link->Release();
  if (SUCCEEDED(init)) CoUninitialize();
  return ok;
}

// Polls for the box: it belongs to another thread of this process, which is
// blocked in the box's own message loop until OK is pressed.
bool AnswerMessageBox(int timeoutMs, BoxInfo* out) {
  DWORD deadline = GetTickCount() + static_cast<DWORD>(timeoutMs);
  Search s;
  s.className = L"#32770";
  while (s.found == nullptr) {
    EnumWindows(FindOwnWindow, reinterpret_cast<LPARAM>(&s));
    if (s.found != nullptr) break;
    if (static_cast<LONG>(GetTickCount() - deadline) > 0) return false;
    Sleep(10);
  }
  HWND box = s.found;
  // The box may be found while it is still being filled in: wait for its
  // caption.
  while (GetWindowTextLengthW(box) == 0 && static_cast<LONG>(GetTickCount() - deadline) <= 0)
    Sleep(10);
  out->caption = Utf8(TextOf(box));
  out->text.clear();
  out->icon = out->errorIcon = false;
  HICON error = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_ERROR));
  for (HWND child : Children(box)) {
    if (ClassOf(child) != L"Static") continue;
    auto icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
    if (icon != nullptr) {
      out->icon = true;
      out->errorIcon = out->errorIcon || icon == error;
    }
    std::wstring text = TextOf(child);
    if (!text.empty()) out->text = Utf8(text);
  }
  HWND ok = GetDlgItem(box, IDOK);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
  // Gone before the next one is looked for, so no box is answered twice.
  while (IsWindow(box) && IsWindowVisible(box) && static_cast<LONG>(GetTickCount() - deadline) <= 0)
    Sleep(10);
  return true;
}

bool InspectProgressWindow(const std::string& caption, ProgressInfo* out) {
  Search s;
  s.caption = FromUtf8(caption);
  EnumWindows(FindOwnWindow, reinterpret_cast<LPARAM>(&s));
  if (s.found == nullptr) {
    // A hidden window is still there to be read.
    HWND w = FindWindowW(nullptr, s.caption.c_str());
    DWORD pid = 0;
    if (w != nullptr) GetWindowThreadProcessId(w, &pid);
    if (pid != GetCurrentProcessId()) return false;
    s.found = w;
  }
  HWND w = s.found;
  out->visible = IsWindowVisible(w) != 0;
  RECT frame, client;
  GetWindowRect(w, &frame);
  GetClientRect(w, &client);
  out->left = frame.left;
  out->top = frame.top;
  out->clientWidth = client.right - client.left;
  out->clientHeight = client.bottom - client.top;
  for (HWND child : Children(w)) {
    RECT r;
    GetWindowRect(child, &r);
    POINT p{r.left, r.top};
    ScreenToClient(w, &p);
    std::wstring cls = ClassOf(child);
    if (cls == L"Static") {
      out->label = Utf8(TextOf(child));
      out->labelLeft = p.x;
      out->labelTop = p.y;
      auto font = reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0));
      LOGFONTW lf{};
      if (font != nullptr && GetObjectW(font, sizeof lf, &lf) != 0)
        out->fontFace = Utf8(lf.lfFaceName);
    } else if (cls == PROGRESS_CLASSW) {
      out->position = static_cast<int>(SendMessageW(child, PBM_GETPOS, 0, 0));
      out->minimum = static_cast<int>(SendMessageW(child, PBM_GETRANGE, TRUE, 0));
      out->maximum = static_cast<int>(SendMessageW(child, PBM_GETRANGE, FALSE, 0));
      out->step = static_cast<int>(SendMessageW(child, PBM_SETSTEP, 3, 0));
      out->barLeft = p.x;
      out->barTop = p.y;
      out->barWidth = r.right - r.left;
      out->barHeight = r.bottom - r.top;
    }
  }
  return true;
}

bool SetLastWriteTime(const std::string& path, long long unixSeconds) {
  HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  // FILETIME counts 100 ns from 1601.
  unsigned long long ticks =
      (static_cast<unsigned long long>(unixSeconds) + 11644473600ULL) * 10000000ULL;
  FILETIME t{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  BOOL ok = SetFileTime(h, nullptr, nullptr, &t);
  CloseHandle(h);
  return ok != 0;
}

void SetEnvironment(const std::string& name, const std::string& value) {
  SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
  _putenv((name + "=" + value).c_str());
}

UnreadableFile::UnreadableFile(const std::string& path) : FPath(path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) FSaved = reinterpret_cast<std::intptr_t>(h);
}

UnreadableFile::~UnreadableFile() {
  if (FSaved >= 0) CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(FSaved)));
}

}  // namespace plat::testing
