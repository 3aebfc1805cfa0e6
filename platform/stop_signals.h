#pragma once

namespace kestova {

// Requests to end the program from outside it: SIGTERM, SIGINT and SIGHUP
// (shutdown, Ctrl-C, the end of the session). The handler only sets a flag and
// writes one byte to a pipe. The program hands stopRequested() to the run
// (DataSettings), which checks it between rows and while it waits for a lock,
// so that a run ends cleanly: the current row is finished or rolled back and
// the main file is settled.

// Installs the handlers; calling it again does nothing.
void installStopSignals();

// True once a stop has been requested.
bool stopRequested();
// The signal that requested it, or 0.
int stopSignal();
// The read end of a pipe that becomes readable when a stop is requested, for
// an event loop to wake on; -1 before installStopSignals().
int stopNotifier();

// The program's exit status `status`, or, after a stop request, that
// signal's own ending: its default action is restored and the signal raised
// again, so the parent sees the program end by it (128 + signal is returned
// only if the signal did not end the process).
int endStatus(int status);

// What the handler does; callable from a signal handler or a test.
void requestStop(int signal) noexcept;
// Forgets a request (tests).
void clearStopRequest() noexcept;

}  // namespace kestova
