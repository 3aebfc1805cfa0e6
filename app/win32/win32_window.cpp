#include "app/win32/win32_window.h"

#include <cstdint>
#include <utility>

#include "app/win32/frm_ppal.h"
#include "app/win32/task_dialog.h"
#include "app/win32/wide_text.h"
#include "platform/stop_signals.h"

namespace kestova {

namespace {

bool isInput(UINT message) {
  return (message >= WM_KEYFIRST && message <= WM_KEYLAST) ||
         (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) ||
         (message >= WM_NCMOUSEMOVE && message <= WM_NCXBUTTONDBLCLK);
}

std::string textOf(HWND control) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(
      GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
  return narrow(text);
}

// The pointer's shape is the window's to set while the pointer is over it.
void setCursorOver(HWND form, const wchar_t* cursor) {
  POINT at;
  RECT frame;
  if (GetCursorPos(&at) && GetWindowRect(form, &frame) && PtInRect(&frame, at))
    SetCursor(LoadCursorW(nullptr, cursor));
}

}  // namespace

void Win32Window::showPercentLabel() {
  ShowWindow(form_.Lbl_porcentaje(), SW_SHOWNA);
}

void Win32Window::paintPercentText(const std::string& text) {
  HWND label = form_.Lbl_porcentaje();
  SetWindowTextW(label, widen(text).c_str());
  RedrawWindow(label, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

std::string Win32Window::decimalSeparator() const {
  wchar_t separator[LOCALE_NAME_MAX_LENGTH] = L".";
  GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, separator, LOCALE_NAME_MAX_LENGTH);
  return narrow(separator);
}

// Without capturing the mouse: the form answers WM_SETCURSOR with the
// hourglass, and the pointer changes at once where it is over the form.
void Win32Window::setHourglass(bool on) {
  hourglass_ = on;
  setCursorOver(form_.hwnd(), on ? IDC_WAIT : IDC_ARROW);
}

// Sent messages, posted ones and paints are handled; input the system holds
// stays queued for dropQueuedInput(), and input posted by a program is dropped.
void Win32Window::serveWithoutInput() {
  wakeIfStopRequested();
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0,
                      PM_REMOVE | PM_QS_SENDMESSAGE | PM_QS_POSTMESSAGE | PM_QS_PAINT)) {
    if (message.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(message.wParam));
      return;
    }
    if (!isInput(message.message)) DispatchMessageW(&message);
  }
  // A move of the pointer asks for nothing. Taking the moves makes the
  // system ask the form for its pointer where it passes: the hourglass.
  for (UINT move : {WM_MOUSEMOVE, WM_NCMOUSEMOVE})
    while (PeekMessageW(&message, nullptr, move, move, PM_REMOVE)) {
    }
}

void Win32Window::showWarning(const std::string& text, const std::string& details) {
  const WarningDialog dialog(textOf(form_.hwnd()), text, details);
  dialog.show(form_.hwnd(), [this](HWND shown, UINT notification) {
    if (notification == TDN_CREATED) warning_ = shown;
    if (notification == TDN_DESTROYED) warning_ = nullptr;
    if (notification == TDN_TIMER) wakeIfStopRequested();
  });
  warning_ = nullptr;
}

std::string Win32Window::caption() const {
  return textOf(form_.Cmd_Comenzar_Salir());
}

void Win32Window::setCaption(const std::string& caption) {
  SetWindowTextW(form_.Cmd_Comenzar_Salir(), widen(caption).c_str());
}

// Posted, so that the task dialog, when one is shown, ends first and the form
// is destroyed from the message loop, never under a handler of its own.
void Win32Window::close() {
  if (warning_ != nullptr) SendMessageW(warning_, TDM_CLICK_BUTTON, WarningDialog::kAceptar, 0);
  PostMessageW(form_.hwnd(), WM_CLOSE, 0, 0);
}

void Win32Window::dropQueuedInput() {
  MSG message;
  // Lets the system queue what it holds for this thread (Wine reads its X
  // events here), then removes every keyboard and mouse message.
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
  for (auto [first, last] :
       {std::pair{WM_KEYFIRST, WM_KEYLAST}, std::pair{WM_MOUSEFIRST, WM_MOUSELAST},
        std::pair{WM_NCMOUSEMOVE, WM_NCXBUTTONDBLCLK}})
    while (PeekMessageW(&message, nullptr, first, last, PM_REMOVE)) {
    }
}

void Win32Window::wakeOnStopRequest(std::function<void()> wake) {
  const std::intptr_t notifier = stopNotifier();
  if (notifier <= 0) return;
  stopEvent_ = reinterpret_cast<HANDLE>(notifier);
  wake_ = std::move(wake);
}

void Win32Window::wakeIfStopRequested() {
  if (!wake_ || WaitForSingleObject(stopEvent_, 0) != WAIT_OBJECT_0) return;
  // The event stays set: one request is acted on once.
  const std::function<void()> wake = std::move(wake_);
  wake_ = nullptr;
  wake();
}

int Win32Window::exec() {
  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) return static_cast<int>(message.wParam);
      if (IsDialogMessageW(form_.hwnd(), &message)) continue;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    wakeIfStopRequested();
    const DWORD events = wake_ ? 1 : 0;
    MsgWaitForMultipleObjects(events, &stopEvent_, FALSE, INFINITE, QS_ALLINPUT);
  }
}

}  // namespace kestova
