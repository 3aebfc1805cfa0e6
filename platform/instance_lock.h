#pragma once

#include <cstdint>
#include <filesystem>

namespace kestova {

// Held by the one program on this machine that writes to a given database
// file: a second Kestova started on the same main database finds it taken and
// writes nothing, and so does a second lock taken in the same process. The
// lock is named after the file's identity, creates no file anywhere (least of
// all in the database's own folder), and the system releases it when the
// process ends, however it ends: on POSIX an abstract local socket, on
// Windows a named mutex ("Global\Kestova-<volume>-<index>", or "Local\" when
// the system refuses the global name).
class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock() { release(); }

  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock of `file`. False when another process holds it; a lock that
  // cannot be made at all is not taken and not refused: true.
  bool acquire(const std::filesystem::path& file);
  void release() noexcept;

 private:
  std::intptr_t handle_ = -1;  // the socket or the mutex HANDLE held, or -1
};

}  // namespace kestova
