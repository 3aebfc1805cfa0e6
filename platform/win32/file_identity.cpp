#include "platform/file_identity.h"

#include <windows.h>

namespace kestova {

namespace {

// Opens the file itself (a link or junction followed) for nothing but
// `access`, sharing it every way, so that no other program is kept from its
// file by the look.
HANDLE openForLook(const std::filesystem::path& path, DWORD access) {
  return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The volume's serial number and the file's index on it.
std::optional<FileIdentity> identityOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber,
                      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

}  // namespace

std::optional<FileIdentity> fileIdentity(const std::filesystem::path& path) {
  const HANDLE handle = openForLook(path, 0);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  const std::optional<FileIdentity> identity = identityOf(handle);
  ::CloseHandle(handle);
  return identity;
}

bool removeIfSame(const std::filesystem::path& path, const FileIdentity& identity) {
  // Checked and removed through one handle: no other file can take the name
  // in between. The name goes when the last handle to the file is closed.
  const HANDLE handle = openForLook(path, DELETE | FILE_READ_ATTRIBUTES);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FILE_DISPOSITION_INFO disposition{TRUE};
  const bool removed =
      identityOf(handle) == identity &&
      ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
  ::CloseHandle(handle);
  return removed;
}

}  // namespace kestova
