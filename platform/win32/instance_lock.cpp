#include "platform/instance_lock.h"

#include <windows.h>

#include <map>
#include <mutex>
#include <string>

#include "platform/file_identity.h"

namespace kestova {

namespace {

// A mutex is owned by a thread, and its owner may take it again: the locks
// this process holds are also kept here, so that a second one on the same
// file is refused in this process too.
std::mutex heldGuard;
std::map<std::wstring, HANDLE> held;

// The named mutex, in the namespace of every session when the system allows
// it, else in this session's; null when neither can be made.
HANDLE openMutex(const std::wstring& name) {
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, (L"Global\\" + name).c_str());
  if (mutex == nullptr && ::GetLastError() == ERROR_ACCESS_DENIED)
    mutex = ::CreateMutexW(nullptr, FALSE, (L"Local\\" + name).c_str());
  return mutex;
}

}  // namespace

// The lock is a named mutex: a process that ends while it owns one leaves it
// abandoned, which the next owner takes as free.
bool InstanceLock::acquire(const std::filesystem::path& file) {
  release();
  const std::optional<FileIdentity> identity = fileIdentity(file);
  if (!identity) return true;
  const std::wstring name =
      L"Kestova-" + std::to_wstring(identity->device) + L"-" + std::to_wstring(identity->inode);

  const std::lock_guard<std::mutex> guard(heldGuard);
  if (held.count(name) != 0) return false;
  const HANDLE mutex = openMutex(name);
  if (mutex == nullptr) return true;
  const DWORD waited = ::WaitForSingleObject(mutex, 0);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    ::CloseHandle(mutex);
    return waited == WAIT_FAILED;
  }
  held.emplace(name, mutex);
  handle_ = reinterpret_cast<std::intptr_t>(mutex);
  return true;
}

void InstanceLock::release() noexcept {
  if (handle_ == -1) return;
  const HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
  {
    const std::lock_guard<std::mutex> guard(heldGuard);
    for (auto entry = held.begin(); entry != held.end(); ++entry)
      if (entry->second == mutex) {
        held.erase(entry);
        break;
      }
  }
  ::ReleaseMutex(mutex);
  ::CloseHandle(mutex);
  handle_ = -1;
}

}  // namespace kestova
