#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "app/run_display.h"
#include "sync/run_report.h"
#include "sync/run_update.h"

namespace kestova {

class DataEnvironment2;
class Window;

// The click handler of Cmd_Comenzar_Salir, for any window that implements
// Window. While the caption is not exactly "Salir", a click is a run: it shows
// the percentage label, opens the main database and the six recordsets, takes
// the row total, turns the pointer into the hourglass, brings the three tables
// up to date, restores the pointer, shows 100.00 %, tells the person about any
// failure and relabels the button "Salir". A click on "Salir" closes the
// window. Every step runs under the run's rule on errors.
//
// One press, one action: input a person made while the run was working (a
// double click on "Comenzar", a key pressed twice) is dropped when the run
// ends, before the warning or the "Salir" caption can receive it. While it
// works, and while it waits for another program's lock, the window is kept
// painted and answering the desktop, and takes no input. A run that a stop
// request (SIGTERM, SIGINT, SIGHUP, or closing the window) ended closes the
// window at once.
class RunControl {
 public:
  using Clock = RunDisplay::Clock;

  // The label is repainted at most once per frame of a 60 Hz screen.
  static constexpr std::chrono::microseconds kFrame = RunDisplay::kFrame;

  // `environment` gives the data environment at the start of a run.
  RunControl(Window& window, std::function<DataEnvironment2&()> environment);

  void click();
  // The window is asked to close: true when it may. During a run the request
  // is a stop request instead: the run finishes its row, settles the main
  // file and closes the window itself.
  bool closeRequested();
  // From now on, a stop requested while no run works closes the window (and
  // its warning, if one is shown), so that the program ends.
  void closeOnStopRequest();
  // True from the click that starts a run until its tables are done and the
  // file is settled.
  bool running() const { return display_.serving(); }

  // The clock that paces the repaints; steady_clock by default (tests).
  void setClock(Clock clock) { display_.setClock(std::move(clock)); }

  // What the last run did; for tests and benchmarks.
  const RunReport& lastReport() const { return report_; }
  std::int64_t repaints() const { return display_.repaints(); }

 private:
  void run();
  // The tables, from taking the data environment to settling the main file,
  // with the window served throughout.
  RunFiles update(StepRunner& steps);
  // After the tables: the warning, if any, and the button relabelled "Salir";
  // after a stop request, the window closes instead.
  void finish(const RunFiles& files, StepRunner& steps);

  Window& window_;
  std::function<DataEnvironment2&()> environment_;
  RunDisplay display_;
  RunReport report_;
};

}  // namespace kestova
