#pragma once

#include <filesystem>

namespace kestova {

// Held by the one program on this machine that writes to a given database
// file: a second Kestova started on the same main database finds it taken and
// writes nothing. The lock is an abstract local socket named after the file's
// device and inode, so it creates no file anywhere (least of all in the
// database's own folder) and the system releases it when the process ends,
// however it ends.
class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock() { release(); }

  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock of `file`. False when another process holds it; a lock that
  // cannot be made at all (no sockets) is not taken and not refused: true.
  bool acquire(const std::filesystem::path& file);
  void release() noexcept;

 private:
  int socket_ = -1;
};

}  // namespace kestova
