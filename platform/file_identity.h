#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace kestova {

// Which file a path names: the device and inode behind it. A file renamed or
// given another link keeps its identity; a copy renamed over its path, or a
// new file made there, has another. Asking costs one system call, cheap
// enough to ask at every commit.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;

  bool operator==(const FileIdentity&) const = default;
};

// The identity of the file `path` names now, symbolic links followed; none
// when nothing is there or it cannot be looked at.
std::optional<FileIdentity> fileIdentity(const std::filesystem::path& path);

// Removes the name `path` when it still names the file `identity`; leaves
// alone a file that has taken its place. True when it removed it.
bool removeIfSame(const std::filesystem::path& path, const FileIdentity& identity);

}  // namespace kestova
