#include "platform/instance_lock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/file_identity.h"

namespace kestova {

// The lock is an abstract local socket: bound, its name is taken until the
// socket is closed, by the process or by its end.
bool InstanceLock::acquire(const std::filesystem::path& file) {
  release();
  const std::optional<FileIdentity> identity = fileIdentity(file);
  if (!identity) return true;
  const std::string name =
      "kestova/" + std::to_string(identity->device) + ":" + std::to_string(identity->inode);

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // A leading NUL puts the name in the abstract namespace: no file is made.
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());

  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    const int error = errno;
    ::close(fd);
    return error != EADDRINUSE;
  }
  handle_ = fd;
  return true;
}

void InstanceLock::release() noexcept {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

}  // namespace kestova
