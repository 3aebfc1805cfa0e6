#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace kestova::test {

// The run driver or another program started as a child process, its output
// sent to a file. The destructor kills a child still running.
class Child {
 public:
  Child(const std::vector<std::string>& command, std::filesystem::path output);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // True once the child has ended (and been reaped).
  bool poll();
  // Waits at most `limit` for the child to end on its own, and kills it after
  // that. True when it ended on its own.
  bool wait(std::chrono::milliseconds limit);
  // SIGKILL, then reaps it.
  void kill();
  void signal(int number);

  // The wait status once the child has ended: 0 for a clean exit.
  int status() const { return status_; }
  std::string output() const;

 private:
  int pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::filesystem::path output_;
};

}  // namespace kestova::test
