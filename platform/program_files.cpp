#include "platform/program_files.h"

#include <algorithm>

namespace kestova {

namespace fs = std::filesystem;

std::optional<fs::path> virtualStoreCopy(const fs::path& file, const fs::path& virtualStore) {
  if (virtualStore.empty()) return std::nullopt;
  fs::path places[] = {file, file};
  if (const std::optional<fs::path> folder = finalFolderPath(file.parent_path()))
    places[1] = *folder / file.filename();
  for (const fs::path& place : places) {
    const fs::path copy = virtualStore / place.relative_path();
    std::error_code error;
    if (fs::is_regular_file(copy, error)) return copy;
  }
  return std::nullopt;
}

bool isInside(const fs::path& folder, const fs::path& ancestor) {
  const std::optional<fs::path> inner = finalFolderPath(folder);
  const std::optional<fs::path> outer = finalFolderPath(ancestor);
  if (!inner || !outer) return false;
  // Compared part by part: C:\Temp2 is not inside C:\Temp.
  return std::mismatch(outer->begin(), outer->end(), inner->begin(), inner->end()).first ==
         outer->end();
}

}  // namespace kestova
