#include "platform/stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace kestova {

namespace {

static_assert(std::atomic<int>::is_always_lock_free, "the flag is set from a signal handler");
static_assert(kSessionEnds == SIGHUP);

std::atomic<int> requestedBy{0};
int pipeEnds[2] = {-1, -1};

void onSignal(int signal) {
  const int savedErrno = errno;
  requestStop(signal);
  errno = savedErrno;
}

}  // namespace

void installStopSignals() {
  if (pipeEnds[0] >= 0) return;
  if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) pipeEnds[0] = pipeEnds[1] = -1;
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

bool stopRequested() {
  return requestedBy.load(std::memory_order_relaxed) != 0;
}

int stopSignal() {
  return requestedBy.load(std::memory_order_relaxed);
}

std::intptr_t stopNotifier() {
  return pipeEnds[0];
}

void requestStop(int signal) noexcept {
  int none = 0;
  requestedBy.compare_exchange_strong(none, signal == 0 ? -1 : signal);
  if (pipeEnds[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] ssize_t written = ::write(pipeEnds[1], &byte, 1);
  }
}

void clearStopRequest() noexcept {
  requestedBy.store(0);
  if (pipeEnds[0] >= 0) {
    char buffer[64];
    while (::read(pipeEnds[0], buffer, sizeof buffer) > 0) {
    }
  }
}

int endStatus(int status) {
  const int signal = stopSignal();
  if (signal <= 0) return status;
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
  ::raise(signal);
  return 128 + signal;
}

}  // namespace kestova
