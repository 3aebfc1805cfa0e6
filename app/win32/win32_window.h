#pragma once

#include <windows.h>

#include "app/window.h"

namespace kestova {

class Frm_ppal;

// The run control's window on the Windows API: Frm_ppal's label and button,
// the hourglass over the form, the message loop and the warning as a task
// dialog. The form owns it.
class Win32Window : public Window {
 public:
  explicit Win32Window(Frm_ppal& form) : form_(form) {}

  void showPercentLabel() override;
  void paintPercentText(const std::string& text) override;
  std::string decimalSeparator() const override;
  void setHourglass(bool on) override;
  void serveWithoutInput() override;
  void showWarning(const std::string& text, const std::string& details) override;
  std::string caption() const override;
  void setCaption(const std::string& caption) override;
  void close() override;
  void dropQueuedInput() override;
  void wakeOnStopRequest(std::function<void()> wake) override;

  bool hourglass() const { return hourglass_; }
  // Runs the thread's message loop until WM_QUIT and returns its exit code;
  // the form gets the dialog keys (Tab, Enter, Escape) it asks for.
  int exec();

 private:
  // Calls the wake function, once, if a stop has been requested.
  void wakeIfStopRequested();

  Frm_ppal& form_;
  std::function<void()> wake_;
  HANDLE stopEvent_ = nullptr;
  HWND warning_ = nullptr;  // the task dialog while it is shown
  bool hourglass_ = false;
};

}  // namespace kestova
