#include "platform/messages.h"

#include <atomic>

#include "platform/win32/win.h"

namespace plat {
namespace {

// Captured during static initialisation, which runs on the main thread.
const DWORD mainThreadId = GetCurrentThreadId();

void (*exceptionHandler)(const std::exception&) = nullptr;

// Set by PostQuit (the console control handler runs it on a thread of its
// own); the pump checks it before every message and takes it.
std::atomic<bool> quitRequested{false};

LRESULT CALLBACK SharedWindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* target = reinterpret_cast<MessageTarget*>(GetWindowLongPtrA(window, 0));
  if (target == nullptr) return DefWindowProcA(window, msg, wParam, lParam);
  try {
    return target->HandleMessage(msg, wParam, lParam);
  } catch (const std::exception& e) {
    if (exceptionHandler != nullptr) exceptionHandler(e);
    return 0;
  }
}

// Set from the console's own thread: never cleared.
volatile LONG stopRequested = 0;

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
    InterlockedExchange(&stopRequested, 1);
    PostQuit();
    return TRUE;
  }
  return FALSE;
}

}  // namespace

WindowHandle CreateHiddenWindow(const char* className, MessageTarget* target) {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA wc;
  if (!GetClassInfoA(instance, className, &wc)) {
    ZeroMemory(&wc, sizeof wc);
    wc.lpfnWndProc = SharedWindowProc;
    wc.cbWndExtra = sizeof(LONG_PTR);
    wc.hInstance = instance;
    wc.lpszClassName = className;
    if (!RegisterClassA(&wc)) return 0;
  }
  // A message-only window: it is never shown, takes no part in broadcasts,
  // and needs no display, so the program also runs where no graphics driver
  // can be loaded (wine without an X display).
  HWND window =
      CreateWindowExA(0, className, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
  if (window != nullptr) SetWindowLongPtrA(window, 0, reinterpret_cast<LONG_PTR>(target));
  return reinterpret_cast<WindowHandle>(window);
}

void DestroyHiddenWindow(WindowHandle window) {
  if (window == 0) return;
  HWND h = reinterpret_cast<HWND>(window);
  SetWindowLongPtrA(h, 0, 0);
  DestroyWindow(h);
}

std::intptr_t DefaultMessageResult(WindowHandle window, std::uint32_t msg, std::uintptr_t wParam,
                                   std::intptr_t lParam) {
  return DefWindowProcA(reinterpret_cast<HWND>(window), msg, wParam, lParam);
}

bool PostWindowMessage(WindowHandle window, std::uint32_t msg, std::uintptr_t wParam,
                       std::intptr_t lParam) {
  return PostMessageA(reinterpret_cast<HWND>(window), msg, wParam, lParam) != 0;
}

void PostQuit() {
  quitRequested.store(true);
  // Only wakes a waiting loop: the flag is what stops it.
  PostThreadMessageA(mainThreadId, WM_NULL, 0, 0);
}

void RemoveQueuedMessages(WindowHandle window, std::uint32_t msg) {
  MSG m;
  while (PeekMessageA(&m, reinterpret_cast<HWND>(window), msg, msg, PM_REMOVE)) {
  }
}

bool TakeStopRequest() { return quitRequested.exchange(false); }

bool PeekMessageRemove(Message* out) {
  MSG m;
  if (!PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) return false;
  out->window = reinterpret_cast<WindowHandle>(m.hwnd);
  out->msg = m.message;
  out->wParam = m.wParam;
  out->lParam = m.lParam;
  return true;
}

void DispatchQueued(const Message& message) {
  MSG m{};
  m.hwnd = reinterpret_cast<HWND>(message.window);
  m.message = message.msg;
  m.wParam = message.wParam;
  m.lParam = message.lParam;
  TranslateMessage(&m);
  DispatchMessageA(&m);
}

bool WaitForMessage(int timeoutMs) {
  if (quitRequested.load()) return true;
  DWORD r = MsgWaitForMultipleObjectsEx(0, nullptr,
                                        timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs),
                                        QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  return r == WAIT_OBJECT_0 || quitRequested.load();
}

void SetDispatchExceptionHandler(void (*handler)(const std::exception& e)) {
  exceptionHandler = handler;
}

bool SetWindowTimer(WindowHandle window, std::uintptr_t id, unsigned ms) {
  return SetTimer(reinterpret_cast<HWND>(window), id, ms == 0 ? 1 : ms, nullptr) != 0;
}

void KillWindowTimer(WindowHandle window, std::uintptr_t id) {
  KillTimer(reinterpret_cast<HWND>(window), id);
}

void InstallQuitOnInterrupt() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

bool StopRequested() { return InterlockedCompareExchange(&stopRequested, 0, 0) != 0; }

}  // namespace plat
