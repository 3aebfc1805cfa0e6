#include "platform/durable_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace kestova {

namespace {

namespace fs = std::filesystem;

bool writeAndSync(const fs::path& file, const std::string& text) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                       ::fsync(fd) == 0;
  return ::close(fd) == 0 && written;
}

// Makes a name given in `folder` last through a power cut.
bool syncFolder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

}  // namespace

bool replaceFileDurably(const fs::path& file, const std::string& bytes) {
  const fs::path written = file.parent_path() / ("." + file.filename().string());
  if (!writeAndSync(written, bytes) || std::rename(written.c_str(), file.c_str()) != 0) {
    std::error_code ignored;
    fs::remove(written, ignored);
    return false;
  }
  return syncFolder(file.parent_path());
}

}  // namespace kestova
