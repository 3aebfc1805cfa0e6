#include "app/win32/frm_ppal.h"

#include "app/run_control.h"
#include "app/win32/win32_window.h"
#include "data/data_environment.h"

namespace kestova {

namespace {

constexpr wchar_t kClassName[] = L"Frm_ppal";
constexpr int kButtonId = 10;  // neither IDOK nor IDCANCEL: Enter and Escape do not press it
constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr COLORREF kTeal = RGB(0, 192, 192);

int pixels(int twips, int dpi) {
  return (twips * dpi + 720) / 1440;
}

RECT twipsRect(int left, int top, int width, int height, int dpi) {
  const int x = pixels(left, dpi), y = pixels(top, dpi);
  return {x, y, x + pixels(width, dpi), y + pixels(height, dpi)};
}

int fontHeight(int tenthsOfPoint, int dpi) {
  return -MulDiv(tenthsOfPoint, dpi, 720);
}

// The DPI of the monitor the window is on (Windows 10 and later), else the
// system's.
int dpiOf(HWND hwnd) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  auto getDpi = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32"), "GetDpiForWindow")));
  if (getDpi != nullptr) return static_cast<int>(getDpi(hwnd));
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dpi;
}

bool faceInstalled(HDC dc, const wchar_t* face) {
  LOGFONTW wanted{};
  wanted.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(wanted.lfFaceName, face, LF_FACESIZE);
  return EnumFontFamiliesExW(
             dc, &wanted, [](const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM) { return 0; }, 0,
             0) == 0;
}

// "MS Sans Serif", the classic dialog font, or the nearest sans-serif face
// installed: its TrueType successor, Arial, or the face of the system's GUI font.
HFONT classicFont(int height, int weight) {
  HDC screen = GetDC(nullptr);
  LOGFONTW font{};
  GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font);
  for (const wchar_t* face : {L"MS Sans Serif", L"Microsoft Sans Serif", L"Arial"}) {
    if (!faceInstalled(screen, face)) continue;
    lstrcpynW(font.lfFaceName, face, LF_FACESIZE);
    break;
  }
  ReleaseDC(nullptr, screen);
  return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, VARIABLE_PITCH | FF_SWISS,
                     font.lfFaceName);
}

HWND child(HWND parent, const wchar_t* kind, const wchar_t* text, DWORD style, const RECT& at,
           int id, HFONT font) {
  HWND control =
      CreateWindowExW(0, kind, text, WS_CHILD | style, at.left, at.top, at.right - at.left,
                      at.bottom - at.top, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                      GetModuleHandleW(nullptr), nullptr);
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return control;
}

void registerClass(WNDPROC procedure) {
  static const bool registered = [procedure] {
    WNDCLASSEXW type{};
    type.cbSize = sizeof type;
    type.lpfnWndProc = procedure;
    type.hInstance = GetModuleHandleW(nullptr);
    type.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    type.lpszClassName = kClassName;
    return RegisterClassExW(&type) != 0;
  }();
  (void)registered;
}

}  // namespace

FormLayout formLayout(int dpi) {
  return {{pixels(4755, dpi), pixels(2100, dpi)},
          twipsRect(90, 60, 4605, 825, dpi),
          twipsRect(1463, 900, 1755, 345, dpi),
          twipsRect(1380, 1380, 2055, 675, dpi),
          fontHeight(135, dpi),
          fontHeight(120, dpi),
          fontHeight(80, dpi)};
}

Frm_ppal::Frm_ppal(EnvironmentSource environment) {
  if (!environment)
    environment = []() -> DataEnvironment2& { return DataEnvironment2::instance(); };
  window_ = std::make_unique<Win32Window>(*this);
  runControl_ = std::make_unique<RunControl>(*window_, std::move(environment));
  teal_ = CreateSolidBrush(kTeal);
  registerClass(procedure);
  // WM_NCCREATE sets hwnd_.
  CreateWindowExW(0, kClassName, L"Actualización de Valuaciones", kFormStyle, CW_USEDEFAULT,
                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                  GetModuleHandleW(nullptr), this);
  createControls();
}

Frm_ppal::~Frm_ppal() {
  if (IsWindow(hwnd_)) DestroyWindow(hwnd_);
  for (HGDIOBJ object : {static_cast<HGDIOBJ>(label1Font_), static_cast<HGDIOBJ>(percentFont_),
                         static_cast<HGDIOBJ>(formFont_), static_cast<HGDIOBJ>(teal_)})
    DeleteObject(object);
}

// The controls in tab order: the button, then the two labels, which take no
// focus. The sizes are those at the DPI of the monitor the window is on.
void Frm_ppal::createControls() {
  const int dpi = dpiOf(hwnd_);
  const FormLayout layout = formLayout(dpi);
  formFont_ = classicFont(layout.buttonFont, FW_NORMAL);
  label1Font_ = classicFont(layout.label1Font, FW_NORMAL);
  percentFont_ = classicFont(layout.percentFont, FW_BOLD);
  SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(formFont_), FALSE);
  cmdComenzarSalir_ = child(hwnd_, L"BUTTON", L"Comenzar", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                            layout.button, kButtonId, formFont_);
  label1_ = child(hwnd_, L"STATIC", L"Este Programa Actualiza Marcas, Modelos y Valuaciones",
                  WS_VISIBLE | SS_LEFT | SS_NOPREFIX, layout.label1, 0, label1Font_);
  lblPorcentaje_ = child(hwnd_, L"STATIC", L"Label2", SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX,
                         layout.percent, 0, percentFont_);

  RECT frame{0, 0, layout.client.cx, layout.client.cy};
  using AdjustForDpiFn = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
  auto adjustForDpi = reinterpret_cast<AdjustForDpiFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"user32"), "AdjustWindowRectExForDpi")));
  if (adjustForDpi != nullptr)
    adjustForDpi(&frame, kFormStyle, FALSE, 0, static_cast<UINT>(dpi));
  else
    AdjustWindowRectEx(&frame, kFormStyle, FALSE, 0);
  SetWindowPos(hwnd_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Frm_ppal::show() {
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST), &monitor);
  RECT frame;
  GetWindowRect(hwnd_, &frame);
  const RECT& work = monitor.rcWork;
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  SetWindowPos(hwnd_, nullptr, work.left + (work.right - work.left - width) / 2,
               work.top + (work.bottom - work.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  ShowWindow(hwnd_, SW_SHOWNORMAL);
  UpdateWindow(hwnd_);
  SetFocus(cmdComenzarSalir_);
}

LRESULT CALLBACK Frm_ppal::procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* form = static_cast<Frm_ppal*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    form->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  }
  auto* form = reinterpret_cast<Frm_ppal*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  return form != nullptr ? form->handle(message, wParam, lParam)
                         : DefWindowProcW(hwnd, message, wParam, lParam);
}

// Text in the system's window-text colour; the percentage on teal.
HBRUSH Frm_ppal::labelColours(HDC dc, HWND label) const {
  const bool percent = label == lblPorcentaje_;
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  SetBkColor(dc, percent ? kTeal : GetSysColor(COLOR_BTNFACE));
  return percent ? teal_ : GetSysColorBrush(COLOR_BTNFACE);
}

LRESULT Frm_ppal::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == kButtonId && HIWORD(wParam) == BN_CLICKED) runControl_->click();
      return 0;
    case WM_CTLCOLORSTATIC:
      return reinterpret_cast<LRESULT>(
          labelColours(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
    case WM_SETCURSOR:
      if (!window_->hourglass()) break;
      SetCursor(LoadCursorW(nullptr, IDC_WAIT));
      return TRUE;
    case WM_SETFOCUS:
      SetFocus(cmdComenzarSalir_);
      return 0;
    case WM_CLOSE:
      // During a run a close request is a stop request: the run finishes its
      // row, settles the main file and closes the window itself.
      if (runControl_->closeRequested()) DestroyWindow(hwnd_);
      return 0;
    case WM_QUERYENDSESSION:
      // A logoff or shutdown during a run waits for it, saying why.
      if (runControl_->closeRequested()) return TRUE;
      ShutdownBlockReasonCreate(hwnd_, L"Kestova está terminando de guardar la actualización…");
      return FALSE;
    case WM_ENDSESSION:
      // The process may end once this is answered: the main file is settled
      // now. During a run (the session ends anyway) what is saved stays.
      if (wParam != FALSE && !runControl_->running()) {
        DataEnvironment2::releaseInstance();
        DestroyWindow(hwnd_);
      }
      return 0;
    case WM_DESTROY:
      ShutdownBlockReasonDestroy(hwnd_);
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(hwnd_, message, wParam, lParam);
}

}  // namespace kestova
