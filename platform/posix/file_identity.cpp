#include "platform/file_identity.h"

#include <sys/stat.h>
#include <unistd.h>

namespace kestova {

std::optional<FileIdentity> fileIdentity(const std::filesystem::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(status.st_dev),
                      static_cast<std::uint64_t>(status.st_ino)};
}

bool removeIfSame(const std::filesystem::path& path, const FileIdentity& identity) {
  // Another program could put a file there between the two calls; nothing
  // short of a lock every program honours closes that gap.
  return fileIdentity(path) == identity && ::unlink(path.c_str()) == 0;
}

}  // namespace kestova
