#pragma once

#include "app/window.h"

namespace kestova {

class Frm_ppal;

// The run control's window on Qt: Frm_ppal's label and button, Qt's override
// cursor, its event loop and the warning box that Frm_ppal::reportFailures
// shows. The form owns it.
class QtWindow : public Window {
 public:
  explicit QtWindow(Frm_ppal& form) : form_(form) {}

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

 private:
  Frm_ppal& form_;
};

}  // namespace kestova
