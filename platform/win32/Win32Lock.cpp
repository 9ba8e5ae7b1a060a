#include "platform/win32/Win32Lock.h"

#include <vector>

#include "platform/win32/AccessLists.h"
#include "platform/win32/FileInfo.h"
#include "platform/win32/Paths.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Files.h"
#include "update/OwnNames.h"

namespace quennel::win32 {
namespace {

constexpr DWORD kLockAccess = GENERIC_READ | GENERIC_WRITE | READ_CONTROL;
/// Never deleted while open, so never pending deletion while others wait on
/// it; and a file anyone has open cannot be opened to delete it.
constexpr DWORD kLockSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
/// Tries at a lock file of our own where others' keep standing in the way.
constexpr int kLockAttempts = 3;
/// Never through a link at the name; a folder opens too, to be told apart.
constexpr DWORD kAsItIs = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

[[noreturn]] void Held() { throw BusyError(SystemText(ERROR_LOCK_VIOLATION)); }

/// Whether the open file is a lone regular file on a disk: no folder, no
/// link, no pipe, no other name of a file.
bool LoneFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(file, &info) && info.nNumberOfLinks == 1 &&
         !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
         GetFileType(file) == FILE_TYPE_DISK;
}

bool KeepsAccessLists(HANDLE file) {
  DWORD flags = 0;
  return !GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
         (flags & FILE_PERSISTENT_ACLS);
}

/// Removes the lone file `path` where nobody has it open (its holders keep
/// it open without delete sharing): true once it is gone, false where it
/// may not or cannot go. BusyError while it is open, or on its way out.
bool RemoveUnused(const std::wstring& path) {
  const Handle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kLockSharing, nullptr,
                                OPEN_EXISTING, kAsItIs, nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return true;
    if (error == ERROR_SHARING_VIOLATION) Held();
    // A file already being deleted opens for nothing at all.
    const Handle look(
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, kAsItIs, nullptr));
    if (error == ERROR_ACCESS_DENIED && !look.valid() && GetLastError() == ERROR_ACCESS_DENIED) Held();
    return false;
  }
  FILE_DISPOSITION_INFO gone{TRUE};
  return LoneFile(file.get()) && SetFileInformationByHandle(file.get(), FileDispositionInfo, &gone, sizeof gone);
}

enum class Take { Taken, HeldByOther, NoLocks };

/// Locks the first byte of `file` where nobody holds it.
Take TryLock(HANDLE file) {
  OVERLAPPED first{};
  if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &first)) return Take::Taken;
  const DWORD error = GetLastError();
  return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? Take::HeldByOther : Take::NoLocks;
}

void Unlock(HANDLE file) {
  OVERLAPPED first{};
  UnlockFileEx(file, 0, 1, 0, &first);
}

/// Whether another run holds the lock file `path`; one that cannot be
/// opened is held by nobody this run can tell.
bool LockHeld(const std::wstring& path) {
  const Handle lock(CreateFileW(path.c_str(), GENERIC_READ, kLockSharing, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!lock.valid()) return GetLastError() == ERROR_SHARING_VIOLATION;
  const Take taken = TryLock(lock.get());
  if (taken == Take::Taken) Unlock(lock.get());
  return taken == Take::HeldByOther;
}

bool SameIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

}  // namespace

Win32Lock::~Win32Lock() { Unlock(file_.get()); }

std::optional<FileStamp> Win32Lock::Stamp(const std::string& text) noexcept {
  DWORD written = 0;
  LARGE_INTEGER start{};
  FILE_BASIC_INFO basic;
  if (!SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN) ||
      !WriteFile(file_.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
      written != text.size() || !SetEndOfFile(file_.get()) ||
      !GetFileInformationByHandleEx(file_.get(), FileBasicInfo, &basic, sizeof basic))
    return std::nullopt;
  return StampOf(basic.ChangeTime);
}

std::unique_ptr<HeldLock> TakeLockFile(const std::wstring& path, const std::wstring& program,
                                       const std::wstring& folder) {
  std::vector<BYTE> runner;
  try {
    runner = RunnerSid();
  } catch (const PlatformError&) {
    return nullptr;  // who would the lock be for?
  }
  // Who may replace the program as things stand; what cannot be read adds nobody.
  LockRules rules = DeriveLockRules(SecurityAt(program).get(), SecurityAt(folder).get(), runner.data());
  SECURITY_DESCRIPTOR made;
  if (!InitializeSecurityDescriptor(&made, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&made, TRUE, reinterpret_cast<PACL>(rules.list.data()), FALSE) ||
      !SetSecurityDescriptorControl(&made, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
    return nullptr;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &made, FALSE};

  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    Handle file(CreateFileW(path.c_str(), kLockAccess, kLockSharing, &attributes, CREATE_NEW,
                            FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) {
      const DWORD created = GetLastError();
      if (created != ERROR_FILE_EXISTS && created != ERROR_ALREADY_EXISTS && created != ERROR_ACCESS_DENIED)
        return nullptr;
      // Only a file this run made gets a list; one that is there is looked
      // at before anything is written to it.
      file.reset(CreateFileW(path.c_str(), kLockAccess, kLockSharing, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      if (!file.valid()) {
        const DWORD opened = GetLastError();
        if (opened == ERROR_SHARING_VIOLATION) Held();
        if (opened == ERROR_FILE_NOT_FOUND && created != ERROR_ACCESS_DENIED) continue;  // gone meanwhile
        // Closed to this runner (or on its way out): not a lock it can use.
        if (opened != ERROR_ACCESS_DENIED || !RemoveUnused(path)) return nullptr;
        continue;
      }
      if (!LoneFile(file.get())) return nullptr;
      if (KeepsAccessLists(file.get())) {
        const Descriptor security = SecurityOf(file.get());
        if (!security || !LockTrusted(security.get(), rules.admitted)) {
          file.reset();
          if (!RemoveUnused(path)) return nullptr;
          continue;
        }
      }
    }
    switch (TryLock(file.get())) {
      case Take::Taken: return std::make_unique<Win32Lock>(std::move(file));
      case Take::HeldByOther: Held();
      case Take::NoLocks: return nullptr;  // a file system that keeps no locks
    }
  }
  Held();  // others' files kept taking the name
}

bool OtherProgramAside(const std::wstring& folder, const std::wstring& name) {
  const NameRules& rules = WindowsNameRules();
  const OwnFileKind& aside = *OwnKinds(rules).setAside;
  bool found = false;
  ForEachFound(folder + L"*.quennel~*", [&](const WIN32_FIND_DATAW& entry) {
    const std::string file = Utf8(entry.cFileName);
    const std::string program = file.substr(0, file.rfind(".quennel~"));
    const bool setAside = IsOwnFileName(file, program, aside, rules.units);
    if ((!setAside && file != LockFileName(program, rules)) || SameIgnoringCase(Wide(program), name) ||
        GetFileAttributesW((folder + Wide(program)).c_str()) != INVALID_FILE_ATTRIBUTES)
      return true;
    // Looked at, never made: a lock file nobody made is held by nobody.
    found = setAside || LockHeld(folder + entry.cFileName);
    return !found;
  });
  return found;
}

}  // namespace quennel::win32
