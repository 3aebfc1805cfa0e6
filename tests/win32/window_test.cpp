#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

#include "app/run_control.h"
#include "app/win32/frm_ppal.h"
#include "app/win32/task_dialog.h"
#include "app/win32/win32_window.h"
#include "platform/stop_signals.h"

namespace kestova {
namespace {

std::tuple<LONG, LONG, LONG, LONG> edges(const RECT& r) {
  return {r.left, r.top, r.right, r.bottom};
}

std::wstring textOf(HWND hwnd) {
  wchar_t text[256] = L"";
  GetWindowTextW(hwnd, text, 256);
  return text;
}

// A text as a person sees it: without trailing spaces, no-break ones included.
std::wstring visible(const wchar_t* text) {
  std::wstring shown = text;
  shown.erase(shown.find_last_not_of(L" \u00A0") + 1);
  return shown;
}

struct LayoutCase {
  int dpi;
  SIZE client;
  RECT label1, percent, button;
  int label1Font, percentFont, buttonFont;
};

TEST(FormLayout, TwipsBecomeThePixelsOfTheMonitor) {
  for (const LayoutCase& want : {
           LayoutCase{96,
                      {317, 140},
                      {6, 4, 313, 59},
                      {98, 60, 215, 83},
                      {92, 92, 229, 137},
                      -18,
                      -16,
                      -11},
           LayoutCase{144,
                      {476, 210},
                      {9, 6, 470, 89},
                      {146, 90, 322, 125},
                      {138, 138, 344, 206},
                      -27,
                      -24,
                      -16},
       }) {
    SCOPED_TRACE(want.dpi);
    const FormLayout got = formLayout(want.dpi);
    EXPECT_EQ(std::pair(got.client.cx, got.client.cy), std::pair(want.client.cx, want.client.cy));
    EXPECT_EQ(edges(got.label1), edges(want.label1));
    EXPECT_EQ(edges(got.percent), edges(want.percent));
    EXPECT_EQ(edges(got.button), edges(want.button));
    EXPECT_EQ(std::tuple(got.label1Font, got.percentFont, got.buttonFont),
              std::tuple(want.label1Font, want.percentFont, want.buttonFont));
  }
}

TEST(WarningDialog, SpeaksSpanishWhateverTheLanguageOfWindows) {
  const WarningDialog dialog("Título", "No se encontró «Kestova.mdb».\nLínea dos", "detalle ñ");
  const TASKDIALOGCONFIG config = dialog.config(nullptr);
  EXPECT_STREQ(config.pszWindowTitle, L"Título");
  EXPECT_STREQ(config.pszContent, L"No se encontró «Kestova.mdb».\nLínea dos");
  EXPECT_EQ(config.pszMainIcon, TD_WARNING_ICON);
  EXPECT_EQ(config.dwCommonButtons, 0);
  ASSERT_EQ(config.cButtons, 1u);
  EXPECT_STREQ(config.pButtons[0].pszButtonText, L"Aceptar");
  EXPECT_EQ(config.nDefaultButton, config.pButtons[0].nButtonID);
  EXPECT_STREQ(config.pszExpandedInformation, L"detalle ñ");
  EXPECT_EQ(visible(config.pszCollapsedControlText), L"Mostrar detalles…");
  EXPECT_EQ(visible(config.pszExpandedControlText), L"Ocultar detalles…");
  // Closed at first; Escape closes it; a stop request can close it.
  EXPECT_EQ(config.dwFlags &
                (TDF_EXPANDED_BY_DEFAULT | TDF_ALLOW_DIALOG_CANCELLATION | TDF_CALLBACK_TIMER),
            TDF_ALLOW_DIALOG_CANCELLATION | TDF_CALLBACK_TIMER);
  EXPECT_GE(config.cxWidth, 220u);

  const TASKDIALOGCONFIG plain = WarningDialog("T", "texto", "").config(nullptr);
  EXPECT_EQ(plain.pszExpandedInformation, nullptr);
  EXPECT_EQ(plain.pszCollapsedControlText, nullptr);
}

// A real window under the running system (Wine in CI). A run reaches no
// data environment: taking it fails, after `whileTaken` has run.
class RealWindow : public testing::Test {
 protected:
  void SetUp() override {
    // What an earlier test's window left, its WM_QUIT among it.
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
    installStopSignals();
    clearStopRequest();
    form.show();
  }
  void TearDown() override { clearStopRequest(); }

  std::function<void()> whileTaken = [] {};
  Frm_ppal::EnvironmentSource environment = [this]() -> DataEnvironment2& {
    whileTaken();
    throw std::runtime_error("sin archivos");
  };
  Frm_ppal form{environment};
};

TEST_F(RealWindow, StartsAsDesignedAndShowsWhatTheRunWrites) {
  EXPECT_EQ(textOf(form.hwnd()), L"Actualizaci\u00f3n de Valuaciones");
  EXPECT_EQ(GetFocus(), form.Cmd_Comenzar_Salir());
  EXPECT_FALSE(IsWindowVisible(form.Lbl_porcentaje()));
  RECT client;
  GetClientRect(form.hwnd(), &client);
  HDC screen = GetDC(nullptr);
  const FormLayout layout = formLayout(GetDeviceCaps(screen, LOGPIXELSY));
  ReleaseDC(nullptr, screen);
  EXPECT_EQ(std::pair(client.right, client.bottom), std::pair(layout.client.cx, layout.client.cy));

  Win32Window& window = form.window();
  window.showPercentLabel();
  window.paintPercentText("033,33 %");
  EXPECT_TRUE(IsWindowVisible(form.Lbl_porcentaje()));
  EXPECT_EQ(textOf(form.Lbl_porcentaje()), L"033,33 %");
  // The pointer over the form is the hourglass while it is on, also when it
  // comes back from another window that set its own.
  RECT frame;
  GetWindowRect(form.hwnd(), &frame);
  SetCursorPos(frame.left + 20, frame.top + 20);
  window.setHourglass(true);
  EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_WAIT));
  SetCursor(LoadCursorW(nullptr, IDC_IBEAM));
  SetCursorPos(frame.left + 30, frame.top + 30);
  window.serveWithoutInput();
  EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_WAIT));
  window.setHourglass(false);
  EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, IDC_ARROW));
  window.setCaption("Sal\u00edr \u00f1");
  EXPECT_EQ(window.caption(), "Sal\u00edr \u00f1");
}

TEST_F(RealWindow, InputMadeWhileBusyActsOnNothing) {
  HWND button = form.Cmd_Comenzar_Salir();
  auto queueClickAndSpace = [&] {
    PostMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    PostMessageW(button, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    PostMessageW(button, WM_KEYDOWN, VK_SPACE, 0);
    PostMessageW(button, WM_KEYUP, VK_SPACE, 0);
  };
  queueClickAndSpace();
  form.window().serveWithoutInput();
  queueClickAndSpace();
  form.window().dropQueuedInput();
  MSG message;
  for (auto [first, last] :
       {std::pair{WM_KEYFIRST, WM_KEYLAST}, std::pair{WM_MOUSEFIRST, WM_MOUSELAST}})
    EXPECT_FALSE(PeekMessageW(&message, nullptr, first, last, PM_NOREMOVE));
  EXPECT_EQ(form.window().caption(), "Comenzar");  // no run began
  EXPECT_FALSE(IsWindowVisible(form.Lbl_porcentaje()));
}

TEST_F(RealWindow, AStopRequestClosesTheIdleWindowAndItsWarning) {
  form.runControl().closeOnStopRequest();
  requestStop(0);
  form.window().showWarning("Falló la actualización", "detalles");  // closed by the request
  EXPECT_EQ(form.window().exec(), 0);
  EXPECT_FALSE(IsWindow(form.hwnd()));
}

TEST_F(RealWindow, TheSessionWaitsForARunToSettleAndNotWhenIdle) {
  EXPECT_TRUE(SendMessageW(form.hwnd(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
  EXPECT_FALSE(stopRequested());

  LRESULT duringRun = TRUE;
  whileTaken = [&] { duringRun = SendMessageW(form.hwnd(), WM_QUERYENDSESSION, 0, 0); };
  SendMessageW(form.Cmd_Comenzar_Salir(), BM_CLICK, 0, 0);
  EXPECT_FALSE(duringRun);
  EXPECT_TRUE(stopRequested());
  // The run ended on the request: the window closes, the program ends.
  EXPECT_EQ(form.window().exec(), 0);
  EXPECT_FALSE(IsWindow(form.hwnd()));
}

}  // namespace
}  // namespace kestova
