#pragma once

#include <cstdint>
#include <optional>

#include "app/window.h"
#include "sync/progress.h"

namespace kestova {

class RunDisplay;

// Turns how a run goes into what the window shows: each pass begun is counted
// and its share of the row total shown, paced by the display; the last share
// of each table and of the run is always shown. From the moment the rows are
// counted until this object is destroyed, the pointer is the hourglass.
class RunProgress : public Progress {
 public:
  RunProgress(Window& window, RunDisplay& display) : window_(window), display_(display) {}

  void tablesBegin(std::int32_t rowTotal) override;
  void advance() override;
  void tableEnd() override { showPending(); }
  void tablesEnd() override { showPending(); }

 private:
  void showPending();

  Window& window_;
  RunDisplay& display_;
  std::optional<Hourglass> hourglass_;
  std::int64_t counter_ = 0;
  std::int32_t rowTotal_ = 0;
  std::int64_t pendingHundredths_ = -1;  // the share the label should show
};

}  // namespace kestova
