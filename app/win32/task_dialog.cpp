#include "app/win32/task_dialog.h"

#include <algorithm>

#include "app/win32/wide_text.h"

namespace kestova {

namespace {

// The width, in dialog units (four to an average character), that shows the
// longest line of `text` unbroken, within what still reads as one message.
UINT widthFor(std::wstring_view text) {
  constexpr std::size_t kNarrowest = 220, kWidest = 420;
  std::size_t longest = 0;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = std::min(text.find(L'\n', start), text.size());
    longest = std::max(longest, end - start);
    start = end + 1;
  }
  return static_cast<UINT>(std::clamp(longest * 4, kNarrowest, kWidest));
}

// Wine sizes the expander's button for its text alone and then draws the
// arrow in front of it, so that "Mostrar" is left and "detalles…" wraps out
// of sight. Padding the texts with no-break spaces after a breakable one
// widens the button by the arrow's width; the padding is invisible, and on
// Windows it only widens the focus rectangle.
constexpr wchar_t kShowDetails[] =
    L"Mostrar detalles… \u00A0\u00A0\u00A0\u00A0\u00A0\u00A0\u00A0\u00A0";
constexpr wchar_t kHideDetails[] =
    L"Ocultar detalles… \u00A0\u00A0\u00A0\u00A0\u00A0\u00A0\u00A0\u00A0";

HRESULT CALLBACK notifyThrough(HWND dialog, UINT notification, WPARAM, LPARAM, LONG_PTR notify) {
  (*reinterpret_cast<const WarningDialog::Notify*>(notify))(dialog, notification);
  return S_OK;
}

}  // namespace

WarningDialog::WarningDialog(std::string_view title, std::string_view text,
                             std::string_view details)
    : title_(widen(title)), text_(widen(text)), details_(widen(details)) {}

TASKDIALOGCONFIG WarningDialog::config(HWND owner) const {
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof config;
  config.hwndParent = owner;
  // Escape and the close box close it as "Aceptar" does; the timer lets a
  // stop request close it.
  config.dwFlags =
      TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW | TDF_CALLBACK_TIMER;
  config.pszWindowTitle = title_.c_str();
  config.pszMainIcon = TD_WARNING_ICON;
  config.pszContent = text_.c_str();
  config.cButtons = 1;
  config.pButtons = &aceptar_;
  config.nDefaultButton = kAceptar;
  if (!details_.empty()) {
    config.pszExpandedInformation = details_.c_str();
    config.pszCollapsedControlText = kShowDetails;
    config.pszExpandedControlText = kHideDetails;
  }
  config.cxWidth = widthFor(text_);
  return config;
}

void WarningDialog::show(HWND owner, const Notify& notify) const {
  TASKDIALOGCONFIG shown = config(owner);
  shown.pfCallback = notifyThrough;
  shown.lpCallbackData = reinterpret_cast<LONG_PTR>(&notify);
  int pressed = 0;
  TaskDialogIndirect(&shown, &pressed, nullptr, nullptr);
}

}  // namespace kestova
