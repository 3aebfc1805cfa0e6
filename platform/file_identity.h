#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace kestova {

// Which file a path names: the device and inode behind it (on Windows the
// volume's serial number and the file's index). A file renamed or given
// another link keeps its identity; a copy renamed over its path, or a new file
// made there, has another. Asking costs one or a few system calls, cheap
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
// alone a file that has taken its place. True when it removed it. On Windows
// the check and the removal go through one handle, so no other file can take
// the name in between; the name goes once every program has closed the file.
bool removeIfSame(const std::filesystem::path& path, const FileIdentity& identity);

}  // namespace kestova
