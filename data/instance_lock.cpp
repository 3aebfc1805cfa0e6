#include "instance_lock.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace kestova {

bool InstanceLock::acquire(const std::filesystem::path& file) {
  release();
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0) return true;
  const std::string name =
      "kestova/" + std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);

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
  socket_ = fd;
  return true;
}

void InstanceLock::release() noexcept {
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
}

}  // namespace kestova
