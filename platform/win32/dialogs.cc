#include "platform/dialogs.h"

#include "platform/win32/win.h"
// After the Windows headers: the common controls build on them.
#include <commctrl.h>

namespace plat {
namespace {

const char kClassName[] = "TBelkaPostepu";

LRESULT CALLBACK ProgressProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  // Closing the window only hides it: the builder keeps it for the next file.
  if (msg == WM_CLOSE) {
    ShowWindow(window, SW_HIDE);
    return 0;
  }
  return DefWindowProcA(window, msg, wParam, lParam);
}

}  // namespace

void ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon) {
  UINT style = MB_OK | (icon == BoxIcon::kError ? MB_ICONERROR : 0);
  MessageBoxA(nullptr, text.c_str(), caption.c_str(), style);
}

struct ProgressWindow::Impl {
  HWND window = nullptr;
  HWND label = nullptr;
  HWND bar = nullptr;
  HFONT font = nullptr;
};

// A fixed dialog-bordered window: client area 475 x 60 at 260, 283, the label
// at 8, 8 and the bar (0 to 100, step 3) at 8, 32, 457 x 16, in MS Sans Serif
// at 8 points.
ProgressWindow::ProgressWindow(const std::string& caption) : FImpl(std::make_unique<Impl>()) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA wc;
  if (!GetClassInfoA(instance, kClassName, &wc)) {
    ZeroMemory(&wc, sizeof wc);
    wc.lpfnWndProc = ProgressProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    RegisterClassA(&wc);
  }
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  const DWORD exStyle = WS_EX_DLGMODALFRAME;
  RECT r{0, 0, 475, 60};
  AdjustWindowRectEx(&r, style, FALSE, exStyle);
  FImpl->window =
      CreateWindowExA(exStyle, kClassName, caption.c_str(), style, 260, 283, r.right - r.left,
                      r.bottom - r.top, nullptr, nullptr, instance, nullptr);
  if (FImpl->window == nullptr) return;
  HDC dc = GetDC(nullptr);
  int height = -MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72);
  ReleaseDC(nullptr, dc);
  FImpl->font = CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                            DEFAULT_PITCH | FF_DONTCARE, "MS Sans Serif");
  FImpl->label = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE | SS_LEFT, 8, 8, 457, 16,
                                 FImpl->window, nullptr, instance, nullptr);
  FImpl->bar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, 8, 32, 457, 16,
                               FImpl->window, nullptr, instance, nullptr);
  SendMessageA(FImpl->label, WM_SETFONT, reinterpret_cast<WPARAM>(FImpl->font), FALSE);
  SendMessageA(FImpl->bar, PBM_SETRANGE32, 0, 100);
  SendMessageA(FImpl->bar, PBM_SETSTEP, 3, 0);
}

ProgressWindow::~ProgressWindow() {
  if (FImpl->window != nullptr) DestroyWindow(FImpl->window);
  if (FImpl->font != nullptr) DeleteObject(FImpl->font);
}

void ProgressWindow::Show(const std::string& label) {
  if (FImpl->window == nullptr) return;
  SetWindowTextA(FImpl->label, label.c_str());
  SendMessageA(FImpl->bar, PBM_SETPOS, 0, 0);
  ShowWindow(FImpl->window, SW_SHOWNOACTIVATE);
  UpdateWindow(FImpl->window);
}

void ProgressWindow::SetPosition(int percent) {
  if (FImpl->bar != nullptr) SendMessageA(FImpl->bar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

void ProgressWindow::Hide() {
  if (FImpl->window != nullptr) ShowWindow(FImpl->window, SW_HIDE);
}

}  // namespace plat
