#pragma once

#include <filesystem>
#include <optional>

namespace kestova {

// What Windows does to programs and files under Program Files, as far as a
// run must know it. POSIX has none of it: there the folders are empty and
// the answers false.

// This user's %LOCALAPPDATA%\VirtualStore: where Windows keeps the copies of
// files that older 32-bit programs, run without administrator rights, wrote
// under protected folders such as Program Files. Those programs then read
// the copy instead of the original. Empty on POSIX.
std::filesystem::path virtualStoreFolder();

// The copy of `file` kept in `virtualStore`: under the same path without its
// drive, or under the path its folder has with links and junctions followed
// (C:\Archivos de programa is a junction to C:\Program Files). None when
// `virtualStore` is empty or holds no such file.
std::optional<std::filesystem::path> virtualStoreCopy(const std::filesystem::path& file,
                                                      const std::filesystem::path& virtualStore);

// True when starting the program as administrator could give it a right to
// write it lacks: on Windows, when it runs without administrator rights.
bool administratorCouldWrite();

// The user's temporary folder, where Explorer runs a program opened inside a
// zip; empty on POSIX.
std::filesystem::path temporaryFolder();

// True when `folder` is `ancestor` or lies inside it, links and junctions
// followed; false when either does not exist.
bool isInside(const std::filesystem::path& folder, const std::filesystem::path& ancestor);

// The path of the existing `folder` with links and junctions followed, as the
// system names it; none when it cannot be found.
std::optional<std::filesystem::path> finalFolderPath(const std::filesystem::path& folder);

}  // namespace kestova
