#pragma once

#include <filesystem>
#include <string>

namespace kestova {

// Puts `bytes` in `file` so that a reader finds the old file or the new one
// whole, never part of it, and the new one lasts through a power cut: they are
// written under a temporary name in the same folder, flushed to the disk, and
// renamed over `file` (on POSIX the folder is then flushed too). False, with
// nothing left under the temporary name, when any step fails.
bool replaceFileDurably(const std::filesystem::path& file, const std::string& bytes);

}  // namespace kestova
