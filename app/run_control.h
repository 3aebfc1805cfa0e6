#pragma once

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
// tells the person about any failure and relabels the button "Salir". A click
// on "Salir" closes the window. Every step runs under the run's rule on errors.
class RunControl : public Progress {
 public:
  RunControl(Frm_ppal& window, std::function<DataEnvironment2&()> environment);

  void click();

  // The rows are counted: the pointer becomes the hourglass.
  void tablesBegin(std::int32_t rowTotal) override;

  // One pass begins: counts it and shows the share of rows begun. The label is
  // repainted only when its text changes.
  void advance() override;

  // What the last run did; for tests and benchmarks.
  const RunReport& lastReport() const { return report_; }
  std::int64_t repaints() const { return repaints_; }

 private:
  void run();

  Frm_ppal& window_;
  std::function<DataEnvironment2&()> environment_;
  RunReport report_;
  std::int64_t progressCounter_ = 0;
  std::int32_t rowTotal_ = 0;
  std::int64_t shownHundredths_ = -1;
  std::int64_t repaints_ = 0;
  bool hourglass_ = false;
};

}  // namespace kestova
