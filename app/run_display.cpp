#include "app/run_display.h"

#include "app/progress_text.h"
#include "app/window.h"

namespace kestova {

void RunDisplay::beginRun() {
  decimalSeparator_ = window_.decimalSeparator();
  shownHundredths_ = -1;
  lastServed_ = {};
  serving_ = true;
}

void RunDisplay::show(std::int64_t hundredths) {
  if (hundredths != shownHundredths_) paint(hundredths, clock_());
}

void RunDisplay::showPaced(std::int64_t hundredths) {
  if (hundredths == shownHundredths_) return;
  const auto now = clock_();
  if (shownHundredths_ >= 0 && now - lastPaint_ < kFrame) return;
  paint(hundredths, now);
}

void RunDisplay::paint(std::int64_t hundredths, std::chrono::steady_clock::time_point now) {
  shownHundredths_ = hundredths;
  lastPaint_ = now;
  window_.paintPercentText(percentText(hundredths, decimalSeparator_));
  ++repaints_;
  serve(now);
}

void RunDisplay::serve(std::chrono::steady_clock::time_point now) {
  if (!serving_ || (lastServed_ != decltype(lastServed_){} && now - lastServed_ < kFrame)) return;
  lastServed_ = now;
  window_.serveWithoutInput();
}

}  // namespace kestova
