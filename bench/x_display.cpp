#include "bench/x_display.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "bench/bench_support.h"

namespace kestova::bench {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kFirstNumber = 99;
constexpr int kNumbers = 100;
constexpr auto kStartTimeout = 15s;
constexpr auto kStopTimeout = 5s;

fs::path socketPath(int number) {
  return "/tmp/.X11-unix/X" + std::to_string(number);
}

// Another server holds the number, or held it and left its lock behind.
bool taken(int number) {
  std::error_code ignored;
  return fs::exists("/tmp/.X" + std::to_string(number) + "-lock", ignored) ||
         fs::exists(socketPath(number), ignored);
}

bool acceptsConnections(int number) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = socketPath(number).string();
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const bool connected =
      connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

// True when the process has ended (and is reaped).
bool ended(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == pid;
}

std::string tail(const fs::path& file) {
  std::string text;
  try {
    text = readText(file);
  } catch (const std::exception&) {
  }
  if (text.size() > 600) text = "..." + text.substr(text.size() - 600);
  return text;
}

}  // namespace

XDisplay::XDisplay(const fs::path& log) {
  if (const char* display = std::getenv("DISPLAY"); display != nullptr && *display != '\0') {
    name_ = display;
    return;
  }
  for (int number = kFirstNumber; number < kFirstNumber + kNumbers; ++number) {
    if (taken(number)) continue;
    if (tryStart(number, log)) {
      name_ = ":" + std::to_string(number);
      setenv("DISPLAY", name_.c_str(), 1);
      return;
    }
  }
  throw std::runtime_error("could not start Xvfb on any of :" + std::to_string(kFirstNumber) +
                           " to :" + std::to_string(kFirstNumber + kNumbers - 1) +
                           "; its log: " + tail(log));
}

XDisplay::~XDisplay() {
  stop();
}

bool XDisplay::tryStart(int number, const fs::path& log) {
  const std::string display = ":" + std::to_string(number);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    // Ended with us, however we end; and never left waiting on a parent gone already.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const int in = open("/dev/null", O_RDONLY);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
    }
    if (in >= 0) dup2(in, STDIN_FILENO);
    execlp("Xvfb", "Xvfb", display.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  server_ = pid;
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ended(pid)) {
      server_ = -1;
      return false;
    }
    if (acceptsConnections(number)) return true;
    std::this_thread::sleep_for(20ms);
  }
  stop();
  return false;
}

void XDisplay::stop() {
  if (server_ <= 0) return;
  const pid_t pid = server_;
  server_ = -1;
  kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ended(pid)) return;
    std::this_thread::sleep_for(10ms);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

}  // namespace kestova::bench
