#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "run_report.h"
#include "run_update.h"

namespace kestova {

class DataEnvironment2;
class Frm_ppal;

// The click handler of Cmd_Comenzar_Salir. While the caption is not exactly
// "Salir", a click is a run: it shows the percentage label, opens the main
// database and the six recordsets, takes the row total, turns the pointer into
// the hourglass, brings the three tables up to date, restores the pointer,
// shows 100.00 %, tells the person about any failure and relabels the button
// "Salir". A click on "Salir" closes the window. Every step runs under the
// run's rule on errors.
//
// One press, one action: input a person made while the run was working (a
// double click on "Comenzar", a key pressed twice) is discarded when the run
// ends, before the warning or the "Salir" caption can receive it. While it
// works, and while it waits for another program's lock, the window is kept
// painted and answering the desktop, and takes no input. A run that a stop
// request (SIGTERM, SIGINT, SIGHUP, or closing the window) ended closes the
// window at once.
class RunControl : public Progress {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // The label is repainted at most once per frame of a 60 Hz screen.
  static constexpr std::chrono::microseconds kFrame{1'000'000 / 60};

  RunControl(Frm_ppal& window, std::function<DataEnvironment2&()> environment);

  void click();
  // True from the click that starts a run until its tables are done and the
  // file is settled; a close request meanwhile is a stop request.
  bool running() const { return running_; }

  // The rows are counted: the pointer becomes the hourglass.
  void tablesBegin(std::int32_t rowTotal) override;

  // One pass begins: counts it and shows the share of rows begun, repainting
  // the label only when its text changes and a frame has passed since the
  // last repaint.
  void advance() override;
  // A table, or all of them, ended: the label is repainted with the last
  // share if that has not been shown yet.
  void tableEnd() override;
  void tablesEnd() override;

  // The clock that paces the repaints; steady_clock by default (tests).
  void setClock(Clock clock) { clock_ = std::move(clock); }

  // What the last run did; for tests and benchmarks.
  const RunReport& lastReport() const { return report_; }
  std::int64_t repaints() const { return repaints_; }

 private:
  void run();
  // After the tables: the warning, if any, and the button relabelled "Salir";
  // after a stop request, the window closes instead.
  void finish(const RunFiles& files, StepRunner& steps);
  void show(std::int64_t hundredths, std::chrono::steady_clock::time_point now);
  void showPending();
  // Lets the window repaint what was uncovered and answer the desktop's
  // "are you alive" ping, at most once per frame; input is dropped.
  void serveWindow(std::chrono::steady_clock::time_point now);

  Frm_ppal& window_;
  std::function<DataEnvironment2&()> environment_;
  Clock clock_ = [] { return std::chrono::steady_clock::now(); };
  RunReport report_;
  std::int64_t progressCounter_ = 0;
  std::int32_t rowTotal_ = 0;
  std::int64_t pendingHundredths_ = -1;  // the share the label should show
  std::int64_t shownHundredths_ = -1;    // the share it was last painted with
  std::chrono::steady_clock::time_point lastPaint_;
  std::int64_t repaints_ = 0;
  std::chrono::steady_clock::time_point lastServed_;
  bool hourglass_ = false;
  bool running_ = false;
};

}  // namespace kestova
