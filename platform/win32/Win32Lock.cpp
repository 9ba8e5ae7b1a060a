#include "platform/win32/Win32Lock.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "platform/win32/Accounts.h"
#include "platform/win32/FileInfo.h"
#include "platform/win32/Paths.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Files.h"
#include "update/OwnNames.h"

namespace quennel::win32 {
namespace {

/// Rights that do more than look at a file's attributes and access list.
constexpr DWORD kLookOnly = FILE_READ_ATTRIBUTES | FILE_READ_EA | READ_CONTROL | SYNCHRONIZE;
constexpr DWORD kLockAccess = GENERIC_READ | GENERIC_WRITE | READ_CONTROL | WRITE_DAC;
/// Never deleted while open, so never pending deletion while others wait on it.
constexpr DWORD kLockSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

struct LocalDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalDeleter>;

/// Who may replace the program, and so hold its lock.
Accounts LockHolders(PSID runner, PSID folderOwner) {
  Accounts holders;
  holders.Add(runner);
  holders.Add(folderOwner);
  holders.Add(WinBuiltinAdministratorsSid);
  holders.Add(WinLocalSystemSid);
  return holders;
}

/// Whether the lock file open as `file` is trusted; a folder whose file
/// system keeps no access lists is open to all anyway.
bool Trusted(HANDLE file, PSID runner, PSID folderOwner) {
  DWORD flags = 0;
  if (GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
      !(flags & FILE_PERSISTENT_ACLS))
    return true;
  return OnlyAmong(file, ~kLookOnly, LockHolders(runner, folderOwner));
}

bool OwnedBy(HANDLE file, PSID runner) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS)
    return false;
  const LocalMemory owned(descriptor);
  return owner && EqualSid(owner, runner);
}

/// Whether the existing lock file open as `file` is one: a lone regular
/// file, no link or folder, with a list only replacers own and use. The
/// runner's own yet open to others (another of its runs may still be
/// giving it its list) gets the list `made` has.
bool IsLock(HANDLE file, PSID runner, PSID folderOwner, PSECURITY_DESCRIPTOR made) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info) || info.nNumberOfLinks != 1 ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
      GetFileType(file) != FILE_TYPE_DISK)
    return false;
  if (Trusted(file, runner, folderOwner)) return true;
  if (!OwnedBy(file, runner)) return false;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  return GetSecurityDescriptorDacl(made, &present, &dacl, &defaulted) &&
         SetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                         nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

/// Opens the lock file `path`, made first where there is none (hidden,
/// with its own access list); invalid where no lock can be had or trusted.
Handle OpenLockFile(const std::wstring& path, const std::wstring& folder) {
  std::vector<BYTE> runner;
  try {
    runner = RunnerSid();
  } catch (const PlatformError&) {
    return Handle();  // who would the lock be for?
  }
  PSID folderOwner = nullptr;
  PSECURITY_DESCRIPTOR folderDescriptor = nullptr;
  GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &folderOwner, nullptr, nullptr,
                        nullptr, &folderDescriptor);
  const LocalMemory ownedFolder(folderDescriptor);

  const std::wstring rules = L"D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FA;;;" + SidText(runner.data()) + L")" +
                             (folderOwner ? L"(A;;FA;;;" + SidText(folderOwner) + L")" : L"");
  PSECURITY_DESCRIPTOR made = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(rules.c_str(), SDDL_REVISION_1, &made, nullptr))
    return Handle();
  const LocalMemory ownedMade(made);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, made, FALSE};
  // Only a file this run made gets the list; one that is there is looked
  // at before anything is written to it.
  Handle file(CreateFileW(path.c_str(), kLockAccess, kLockSharing, &attributes, CREATE_NEW,
                          FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (file.valid()) return file;
  if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return file;
  file.reset(CreateFileW(path.c_str(), kLockAccess, kLockSharing, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                         nullptr));
  if (file.valid() && !IsLock(file.get(), runner.data(), folderOwner, made)) file.reset();
  return file;
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

std::unique_ptr<HeldLock> TakeLockFile(const std::wstring& path, const std::wstring& folder) {
  Handle file = OpenLockFile(path, folder);
  if (!file.valid()) return nullptr;  // no lock to be had or trusted: the update goes on without
  switch (TryLock(file.get())) {
    case Take::Taken: return std::make_unique<Win32Lock>(std::move(file));
    case Take::HeldByOther: throw BusyError(SystemText(ERROR_LOCK_VIOLATION));
    case Take::NoLocks: break;  // a file system that keeps no locks
  }
  return nullptr;
}

bool RenameUnderWay(const std::wstring& folder) {
  const NameRules& rules = WindowsNameRules();
  const OwnFileKind& aside = *OwnKinds(rules).setAside;
  bool underWay = false;
  ForEachFound(folder + L"*.quennel~*", [&](const WIN32_FIND_DATAW& found) {
    const std::string name = Utf8(found.cFileName);
    const std::string program = name.substr(0, name.rfind(".quennel~"));
    if (!IsOwnFileName(name, program, aside, rules.units) ||
        GetFileAttributesW((folder + Wide(program)).c_str()) != INVALID_FILE_ATTRIBUTES)
      return true;
    // Looked at, never made: a lock file nobody made is held by nobody.
    const Handle lock(CreateFileW((folder + Wide(LockFileName(program, rules))).c_str(), GENERIC_READ, kLockSharing,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!lock.valid()) return true;
    const Take taken = TryLock(lock.get());
    if (taken == Take::Taken) Unlock(lock.get());
    underWay = taken == Take::HeldByOther;
    return !underWay;
  });
  return underWay;
}

bool TrustedLockRules(PSID owner, PACL dacl, PSID runner, PSID folderOwner) {
  return OnlyAmong(owner, dacl, ~kLookOnly, LockHolders(runner, folderOwner));
}

}  // namespace quennel::win32
