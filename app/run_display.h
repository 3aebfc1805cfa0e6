#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace kestova {

class Window;

// What the window shows while a run works: the share of rows begun in the
// percentage label, repainted only when its text changes, and the window
// served (painted, answering the desktop, taking no input) after each repaint
// and while the run waits for a lock. A screen shows at most one frame per
// 1/60 s: more repaints or services cost the run a round trip to the display
// each and show nothing more.
class RunDisplay {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  static constexpr std::chrono::microseconds kFrame{1'000'000 / 60};

  explicit RunDisplay(Window& window) : window_(window) {}

  // The clock that paces repaints and services; steady_clock by default.
  void setClock(Clock clock) { clock_ = std::move(clock); }

  // A run begins: nothing is shown yet, the window is served from now on, and
  // shares are written with the user's decimal separator as it is now.
  void beginRun();
  // The run's work is done: the window is no longer served.
  void endRun() { serving_ = false; }
  bool serving() const { return serving_; }

  // Paints `hundredths` unless the label shows it already.
  void show(std::int64_t hundredths);
  // The same, but only once a frame has passed since the last repaint (or
  // nothing was painted in this run); otherwise it is left for a later call.
  void showPaced(std::int64_t hundredths);
  // Serves the window, at most once per frame, while a run works.
  void serve() { serve(clock_()); }

  std::int64_t repaints() const { return repaints_; }

 private:
  void paint(std::int64_t hundredths, std::chrono::steady_clock::time_point now);
  void serve(std::chrono::steady_clock::time_point now);

  Window& window_;
  Clock clock_ = [] { return std::chrono::steady_clock::now(); };
  std::string decimalSeparator_;
  std::int64_t shownHundredths_ = -1;  // the share the label was last painted with
  std::chrono::steady_clock::time_point lastPaint_;
  std::chrono::steady_clock::time_point lastServed_;
  std::int64_t repaints_ = 0;
  bool serving_ = false;
};

}  // namespace kestova
