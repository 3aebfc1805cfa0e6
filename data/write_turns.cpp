#include "data/write_turns.h"

namespace kestova {

void WriteTurns::otherWriterSeen(Clock::time_point now) {
  otherWriterSeen_ = now;
  turnStart_.reset();
}

bool WriteTurns::gapDue(Clock::time_point now) const {
  return otherWriterSeen_ && now - *otherWriterSeen_ < kSharing && turnStart_ &&
         now - *turnStart_ >= kTurn && !idleSinceLastEnd(now);
}

void WriteTurns::began(Clock::time_point now) {
  if (!turnStart_ || idleSinceLastEnd(now)) turnStart_ = now;
}

}  // namespace kestova
