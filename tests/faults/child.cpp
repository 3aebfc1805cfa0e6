#include "tests/faults/child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

#include "tests/test_support.h"

namespace kestova::test {

namespace fs = std::filesystem;

Child::Child(const std::vector<std::string>& command, fs::path output)
    : output_(std::move(output)) {
  std::vector<char*> argv;
  for (const std::string& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + command[0]);
}

Child::~Child() {
  kill();
}

bool Child::poll() {
  if (!reaped_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
  return reaped_;
}

bool Child::wait(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!poll()) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void Child::kill() {
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
}

void Child::signal(int number) {
  if (!reaped_) ::kill(pid_, number);
}

std::string Child::output() const {
  return readBytes(output_);
}

}  // namespace kestova::test
