#include "platform/file_identity.h"

#include <windows.h>
// Included after windows.h, which it needs.
#include <winternl.h>

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

// NtQueryDirectoryFile: a folder's entries that match a name, which the file
// system looks up directly when the name has no wildcard (no file name has).
using QueryDirectory = LONG(NTAPI*)(HANDLE, HANDLE, void*, void*, IO_STATUS_BLOCK*, void*, ULONG,
                                    int, BOOLEAN, UNICODE_STRING*, BOOLEAN);
constexpr int kFileIdBothDirectoryInformation = 37;

QueryDirectory queryDirectory() {
  static const auto query = reinterpret_cast<QueryDirectory>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryDirectoryFile")));
  return query;
}

}  // namespace

// Asked of the file's folder, which lists the file's id, rather than of the
// file: Wine keeps the descriptor of every handle opened on a file while the
// process holds a lock on it, and SQLite holds one on the main file for the
// whole run, so that a look at every commit would run the process out of
// descriptors after some tens of thousands of rows. A link in the folder's
// path is followed; the file's own name is taken as the folder lists it.
std::optional<FileIdentity> fileIdentity(const std::filesystem::path& path) {
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : L".";
  std::wstring name = path.filename().wstring();
  const QueryDirectory query = queryDirectory();
  if (query == nullptr || name.empty() || name.size() > MAX_PATH) return std::nullopt;
  const HANDLE handle = openForLook(folder, FILE_LIST_DIRECTORY);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<FileIdentity> identity;
  const std::optional<FileIdentity> volume = identityOf(handle);
  const auto bytes = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  UNICODE_STRING mask{bytes, bytes, name.data()};
  IO_STATUS_BLOCK status{};
  alignas(LARGE_INTEGER) unsigned char listed[sizeof(FILE_ID_BOTH_DIR_INFO) + 2 * MAX_PATH];
  if (volume && query(handle, nullptr, nullptr, nullptr, &status, listed, sizeof listed,
                      kFileIdBothDirectoryInformation, TRUE, &mask, TRUE) >= 0) {
    const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(listed);
    if ((entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
      identity = FileIdentity{volume->device, static_cast<std::uint64_t>(entry->FileId.QuadPart)};
  }
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
