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

// Asked of the file's folder, which lists the file's id, rather than of the
// file: Wine keeps the descriptor of every handle opened on a file while the
// process holds a lock on it, and SQLite holds one on the main file for the
// whole run, so that a look at every commit would run the process out of
// descriptors after some tens of thousands of rows. A link in the folder's
// path is followed; the file's own name is taken as the folder lists it.
std::optional<FileIdentity> fileIdentity(const std::filesystem::path& path) {
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : L".";
  const std::wstring name = path.filename().wstring();
  const HANDLE handle = openForLook(folder, FILE_LIST_DIRECTORY);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<FileIdentity> identity;
  const std::optional<FileIdentity> volume = identityOf(handle);
  alignas(LARGE_INTEGER) unsigned char listed[16 * 1024];
  FILE_INFO_BY_HANDLE_CLASS next = FileIdBothDirectoryRestartInfo;
  while (volume && !identity &&
         ::GetFileInformationByHandleEx(handle, next, listed, sizeof listed)) {
    next = FileIdBothDirectoryInfo;
    for (std::size_t offset = 0;;) {
      const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(listed + offset);
      const int length = static_cast<int>(entry->FileNameLength / sizeof(wchar_t));
      if ((entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
          ::CompareStringOrdinal(entry->FileName, length, name.c_str(),
                                 static_cast<int>(name.size()), TRUE) == CSTR_EQUAL) {
        identity = FileIdentity{volume->device, static_cast<std::uint64_t>(entry->FileId.QuadPart)};
        break;
      }
      if (entry->NextEntryOffset == 0) break;
      offset += entry->NextEntryOffset;
    }
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
