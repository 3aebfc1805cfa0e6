#pragma once

#include <shlobj.h>
#include <windows.h>

#include <filesystem>

namespace kestova {

// A folder the shell knows by its id (the profile, local application data);
// empty when it cannot tell.
inline std::filesystem::path knownFolder(const KNOWNFOLDERID& id) {
  PWSTR path = nullptr;
  std::filesystem::path folder;
  if (SUCCEEDED(::SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path))) folder = path;
  ::CoTaskMemFree(path);
  return folder;
}

}  // namespace kestova
