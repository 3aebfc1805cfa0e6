#include "platform/stop_signals.h"

#include <windows.h>

#include <atomic>
#include <csignal>

namespace kestova {

namespace {

std::atomic<int> requestedBy{0};
HANDLE requested = nullptr;  // manual-reset: set by a request, for event loops
HANDLE ended = nullptr;      // manual-reset: set by endStatus, for the console handler

// Called on a thread of its own. After a close, logoff or shutdown the system
// ends the process as soon as this returns: it waits for the program to have
// settled the main file (the system's own time limit still applies).
BOOL WINAPI onConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      requestStop(SIGINT);
      return TRUE;
    case CTRL_BREAK_EVENT:
      requestStop(SIGBREAK);
      return TRUE;
    case CTRL_CLOSE_EVENT:
      requestStop(SIGTERM);
      break;
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      requestStop(kSessionEnds);
      break;
    default:
      return FALSE;
  }
  ::WaitForSingleObject(ended, INFINITE);
  return TRUE;
}

}  // namespace

void installStopSignals() {
  if (requested != nullptr) return;
  requested = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ended = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (requestedBy.load() != 0 && requested != nullptr) ::SetEvent(requested);
  // Without a console (a program started from Explorer) this changes nothing.
  ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool stopRequested() {
  return requestedBy.load(std::memory_order_relaxed) != 0;
}

int stopSignal() {
  return requestedBy.load(std::memory_order_relaxed);
}

std::intptr_t stopNotifier() {
  return requested == nullptr ? -1 : reinterpret_cast<std::intptr_t>(requested);
}

void requestStop(int signal) noexcept {
  int none = 0;
  requestedBy.compare_exchange_strong(none, signal == 0 ? -1 : signal);
  if (requested != nullptr) ::SetEvent(requested);
}

void clearStopRequest() noexcept {
  requestedBy.store(0);
  if (requested != nullptr) ::ResetEvent(requested);
}

int endStatus(int status) {
  if (ended != nullptr) ::SetEvent(ended);
  // What the system's own handler ends a program with on Ctrl-C: a console
  // or script that started Kestova sees it was stopped, not that it finished.
  return stopRequested() ? static_cast<int>(STATUS_CONTROL_C_EXIT) : status;
}

}  // namespace kestova
