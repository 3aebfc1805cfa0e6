#pragma once

#include <functional>
#include <string>

namespace kestova {

// What the run control needs of the program's window, whatever toolkit draws
// it: the percentage label, the pointer, the warning, the button's caption and
// the window's event loop. Texts are UTF-8. The window owns its run control
// and passes it its clicks and close requests.
class Window {
 public:
  virtual ~Window() = default;

  // Makes the percentage label visible.
  virtual void showPercentLabel() = 0;
  // Sets the label's text and paints it before returning.
  virtual void paintPercentText(const std::string& text) = 0;
  // The user's decimal separator, as numbers are written where they live.
  virtual std::string decimalSeparator() const = 0;
  // The pointer over the program is the hourglass while `on`.
  virtual void setHourglass(bool on) = 0;
  // Handles what is waiting other than input: paints, the desktop's moves and
  // "are you alive" pings. Input posted meanwhile is dropped; input the
  // display sent stays queued for dropQueuedInput().
  virtual void serveWithoutInput() = 0;
  // Shows a warning with its main text and, on request, its details; returns
  // when the person has closed it.
  virtual void showWarning(const std::string& text, const std::string& details) = 0;
  virtual std::string caption() const = 0;
  virtual void setCaption(const std::string& caption) = 0;
  // Closes the warning, if one is shown, and asks the window to close.
  virtual void close() = 0;
  // Drops the input a person made while the program was busy, so that it acts
  // on nothing; input made afterwards acts normally.
  virtual void dropQueuedInput() = 0;
  // From now on, a stop request calls `wake` once from the window's event
  // loop: when it is idle, while a warning is shown, or while it is served.
  virtual void wakeOnStopRequest(std::function<void()> wake) = 0;
};

// The hourglass for as long as it lives.
class Hourglass {
 public:
  explicit Hourglass(Window& window) : window_(window) { window_.setHourglass(true); }
  ~Hourglass() { window_.setHourglass(false); }
  Hourglass(const Hourglass&) = delete;
  Hourglass& operator=(const Hourglass&) = delete;

 private:
  Window& window_;
};

}  // namespace kestova
