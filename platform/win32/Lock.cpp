/// One replacement at a time per destination: a named mutex, which the
/// system releases when its holder dies and which leaves no file behind.

#include <windows.h>
#include <sddl.h>

#include <cstdint>

#include "platform/win32/Paths.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Platform.h"
#include "update/OwnNames.h"

namespace quennel::win32 {
namespace {

class MutexLock final : public DestinationLock {
public:
  explicit MutexLock(HANDLE mutex) : mutex_(mutex) {}
  ~MutexLock() override {
    ReleaseMutex(mutex_);
    CloseHandle(mutex_);
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

private:
  HANDLE mutex_;
};

std::wstring Hex(std::uint64_t value) {
  std::wstring digits(16, L'0');
  for (int k = 15; k >= 0; --k, value >>= 4) digits[k] = L"0123456789abcdef"[value & 0xF];
  return digits;
}

/// Opens (or makes) the mutex `name` so that every user may wait on it and
/// release it: the users of one terminal server share the Global\ ones.
HANDLE OpenShared(const std::wstring& name) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  // Everyone: SYNCHRONIZE | MUTEX_MODIFY_STATE, nothing more.
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;0x00100001;;;WD)", SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    descriptor = nullptr;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  HANDLE mutex = CreateMutexExW(descriptor ? &attributes : nullptr, name.c_str(), 0,
                                SYNCHRONIZE | MUTEX_MODIFY_STATE);
  LocalFree(descriptor);
  return mutex;
}

/// Removes what killed runs left beside the program: staging files, and old
/// versions set aside whose programs have ended. What is still in use stays.
void ClearLeftovers(const std::wstring& target) {
  const Split where = SplitPath(target);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((where.folder + QuennelNameStart(where.name) + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (!IsQuennelName(found.cFileName, where.name, Kind::Staging) &&
        !IsQuennelName(found.cFileName, where.name, Kind::SetAside))
      continue;
    const std::wstring path = where.folder + found.cFileName;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
      SetFileAttributesW(path.c_str(), found.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
    DeleteFileW(path.c_str());
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

}  // namespace

std::wstring LockName(const std::wstring& target) {
  // The same file under any spelling of its path gets the same lock.
  std::wstring folded = target;
  CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
  const std::string bytes = Utf8(folded);
  return L"quennel-" + Hex(Fnv1a(bytes)) + Hex(Fnv1a(bytes, 0x84222325CBF29CE4ull));
}

std::unique_ptr<DestinationLock> Win32Platform::LockDestination(const std::string& destination) {
  std::wstring target;
  try {
    target = ResolveTarget(Wide(destination));
  } catch (const PlatformError&) {
    return nullptr;  // the copy will meet the same problem and report it
  }
  const std::wstring name = LockName(target);
  HANDLE mutex = OpenShared(L"Global\\" + name);
  if (!mutex) mutex = OpenShared(L"Local\\" + name);
  if (!mutex) return nullptr;  // no lock to be had: the update goes on without
  switch (WaitForSingleObject(mutex, 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // its holder died: the lock is ours
      break;
    case WAIT_TIMEOUT:
      CloseHandle(mutex);
      throw BusyError(SystemText(ERROR_SHARING_VIOLATION));
    default:
      CloseHandle(mutex);
      return nullptr;
  }
  auto lock = std::make_unique<MutexLock>(mutex);
  ClearLeftovers(target);
  return lock;
}

}  // namespace quennel::win32
