#include "platform/user_folders.h"

#include "platform/win32/known_folder.h"

namespace kestova {

std::filesystem::path homeFolder() {
  const std::filesystem::path profile = knownFolder(FOLDERID_Profile);
  return profile.empty() ? std::filesystem::path(L"C:\\") : profile;
}

std::filesystem::path defaultWindowsPrefix() {
  return {};
}

std::filesystem::path stateFolder() {
  const std::filesystem::path local = knownFolder(FOLDERID_LocalAppData);
  return (local.empty() ? homeFolder() / L"AppData" / L"Local" : local) / L"Kestova";
}

}  // namespace kestova
