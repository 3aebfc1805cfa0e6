#include "platform/program_files.h"

namespace kestova {

std::filesystem::path virtualStoreFolder() {
  return {};
}

bool administratorCouldWrite() {
  return false;
}

std::filesystem::path temporaryFolder() {
  return {};
}

std::optional<std::filesystem::path> finalFolderPath(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::canonical(folder, error);
  if (error) return std::nullopt;
  return path;
}

}  // namespace kestova
