#pragma once

#include <windows.h>
// Included after windows.h, which it needs.
#include <commctrl.h>

#include <functional>
#include <string>
#include <string_view>

namespace kestova {

// The warning as a task dialog (common controls 6): the window's caption as
// its title, the warning icon, the main text, the details behind an expander
// that starts closed, and one button "Aceptar" of the program's own, so that
// nothing in it depends on the language of Windows.
class WarningDialog {
 public:
  static constexpr int kAceptar = 100;
  // The dialog's notifications (TDN_CREATED, TDN_TIMER about five times a
  // second, TDN_DESTROYED...) with its handle, while it is shown.
  using Notify = std::function<void(HWND dialog, UINT notification)>;

  WarningDialog(std::string_view title, std::string_view text, std::string_view details);

  // What TaskDialogIndirect is given; it points into this object.
  TASKDIALOGCONFIG config(HWND owner) const;
  // Shows the dialog modal to `owner` and returns when it is closed.
  void show(HWND owner, const Notify& notify) const;

 private:
  std::wstring title_, text_, details_;
  TASKDIALOG_BUTTON aceptar_{kAceptar, L"Aceptar"};
};

}  // namespace kestova
