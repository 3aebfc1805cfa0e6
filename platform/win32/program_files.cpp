#include "platform/program_files.h"

#include <string>

#include "platform/win32/known_folder.h"

namespace kestova {

namespace fs = std::filesystem;

fs::path virtualStoreFolder() {
  const fs::path local = knownFolder(FOLDERID_LocalAppData);
  return local.empty() ? local : local / L"VirtualStore";
}

bool administratorCouldWrite() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool known =
      ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  ::CloseHandle(token);
  return known && elevation.TokenIsElevated == 0;
}

fs::path temporaryFolder() {
  wchar_t path[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, path);
  return length == 0 || length > MAX_PATH ? fs::path() : fs::path(std::wstring(path, length));
}

std::optional<fs::path> finalFolderPath(const fs::path& folder) {
  const HANDLE handle =
      ::CreateFileW(folder.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  std::wstring path(MAX_PATH, L'\0');
  DWORD length = ::GetFinalPathNameByHandleW(handle, path.data(), MAX_PATH, FILE_NAME_NORMALIZED);
  if (length >= MAX_PATH) {
    path.resize(length);
    length = ::GetFinalPathNameByHandleW(handle, path.data(), length, FILE_NAME_NORMALIZED);
  }
  ::CloseHandle(handle);
  if (length == 0 || length >= path.size()) return std::nullopt;
  path.resize(length);
  // "\\?\C:\Program Files" and "\\?\UNC\server\share" as they are usually written.
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return fs::path(L"\\\\" + path.substr(8));
  if (path.rfind(L"\\\\?\\", 0) == 0) return fs::path(path.substr(4));
  return fs::path(path);
}

}  // namespace kestova
