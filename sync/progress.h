#pragma once

#include <cstdint>

namespace kestova {

// Told how a run goes, so that the window can show it.
class Progress {
 public:
  virtual ~Progress() = default;
  // The source rows have been counted (0 when they could not be) and the
  // first table begins.
  virtual void tablesBegin(std::int32_t rowTotal) { (void)rowTotal; }
  // A pass begins, before it touches the target.
  virtual void advance() = 0;
  // A table's loop has ended (its last pass done, or the loop stopped).
  virtual void tableEnd() {}
  // The tables are done, or the run has stopped writing; the main file is
  // settled next.
  virtual void tablesEnd() {}
};

}  // namespace kestova
