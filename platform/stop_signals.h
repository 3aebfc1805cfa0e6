#pragma once

#include <cstdint>

namespace kestova {

// Requests to end the program from outside it. On POSIX: SIGTERM, SIGINT and
// SIGHUP (shutdown, Ctrl-C, the end of the session); the handler only sets a
// flag and writes one byte to a pipe. On Windows: the console's Ctrl-C,
// Ctrl-Break, close, logoff and shutdown (when started from a console), told
// as SIGINT, SIGBREAK, SIGTERM and kSessionEnds (a logoff or shutdown the
// window is told of is a close request to the run control instead).
// The program hands stopRequested() to the run (DataSettings), which checks
// it between rows and while it waits for a lock, so that a run ends cleanly:
// the current row is finished or rolled back and the main file is settled.

// The request of the end of the session: SIGHUP's number on POSIX.
inline constexpr int kSessionEnds = 1;

// Installs the handlers; calling it again does nothing.
void installStopSignals();

// True once a stop has been requested.
bool stopRequested();
// The signal that requested it, -1 for requestStop(0), or 0.
int stopSignal();
// What an event loop waits on to wake when a stop is requested, -1 before
// installStopSignals(). POSIX: the read end of a pipe that becomes readable.
// Windows: a manual-reset event HANDLE that becomes signalled.
std::intptr_t stopNotifier();

// The program's exit status `status` when no stop was requested. After a
// request, on POSIX that signal's own ending: its default action is restored
// and the signal raised again, so the parent sees the program end by it (128
// + signal is returned only if the signal did not end the process). On
// Windows STATUS_CONTROL_C_EXIT, as the system's own handler ends a stopped
// program, after letting a console's close, logoff or shutdown handler, which
// waits for it, return.
int endStatus(int status);

// What the handler does; callable from a signal handler, any thread or a test.
void requestStop(int signal) noexcept;
// Forgets a request (tests).
void clearStopRequest() noexcept;

}  // namespace kestova
