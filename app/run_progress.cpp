#include "app/run_progress.h"

#include "app/progress_text.h"
#include "app/run_display.h"

namespace kestova {

void RunProgress::tablesBegin(std::int32_t rowTotal) {
  rowTotal_ = rowTotal;
  hourglass_.emplace(window_);
}

void RunProgress::advance() {
  ++counter_;
  // With no row total (the counts could not be read) the label keeps its text
  // until the end; that failure was recorded where the total was taken.
  if (rowTotal_ <= 0) return;
  pendingHundredths_ = percentHundredths(counter_, rowTotal_);
  display_.showPaced(pendingHundredths_);
}

void RunProgress::showPending() {
  if (pendingHundredths_ >= 0) display_.show(pendingHundredths_);
}

}  // namespace kestova
