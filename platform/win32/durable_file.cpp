#include "platform/durable_file.h"

#include <windows.h>

namespace kestova {

namespace {

namespace fs = std::filesystem;

bool writeAndFlush(const fs::path& file, const std::string& text) {
  const HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  const bool written =
      ::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &done, nullptr) &&
      done == text.size() && ::FlushFileBuffers(handle);
  return ::CloseHandle(handle) && written;
}

}  // namespace

bool replaceFileDurably(const fs::path& file, const std::string& bytes) {
  const fs::path written = file.parent_path() / (L"." + file.filename().wstring());
  // Write-through: the rename is on the disk when the call returns.
  if (writeAndFlush(written, bytes) &&
      ::MoveFileExW(written.c_str(), file.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  std::error_code ignored;
  fs::remove(written, ignored);
  return false;
}

}  // namespace kestova
