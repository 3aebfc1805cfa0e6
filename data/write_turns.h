#pragma once

#include <chrono>
#include <optional>

namespace kestova {

// When a connection that saves many short transactions one after another
// leaves the write lock to other programs. Committing in a tight loop, it
// holds the lock nearly all the time, and another program's busy handler,
// which sleeps between tries (SQLite's own for 1, 2, 5, 10, 15, 20, then
// 25 ms up to 128 ms, then longer), rarely finds it free.
//
// Alone, the connection never waits. Once another program has shown that it
// writes (its commit seen, or its lock met), and for kSharing after, the
// connection holds the lock in turns of at most kTurn of writing, and between
// two turns stays away from it for up to kGap: longer than any sleep of that
// busy handler in its first 128 ms, so a program that asks for the lock
// during a turn gets it in the next gap, within about kTurn + kGap. A gap
// ends early once another program has committed; a turn begins afresh after
// another program's commit or a gap's worth of time without writing.
class WriteTurns {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kTurn{75}, kGap{30}, kSharing{5000};

  // Another program has committed, or holds the lock.
  void otherWriterSeen(Clock::time_point now);
  // True when the next write transaction should wait for a gap first.
  bool gapDue(Clock::time_point now) const;
  // A gap has been left, or a write transaction begun or ended.
  void gapLeft() { turnStart_.reset(); }
  void began(Clock::time_point now);
  void ended(Clock::time_point now) { lastEnd_ = now; }

 private:
  bool idleSinceLastEnd(Clock::time_point now) const { return lastEnd_ && now - *lastEnd_ >= kGap; }

  std::optional<Clock::time_point> otherWriterSeen_, turnStart_, lastEnd_;
};

}  // namespace kestova
