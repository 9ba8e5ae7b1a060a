/// One replacement at a time per program: a lock file beside the file
/// really replaced, named after its real name so every spelling of the
/// program meets the same lock, on this machine and on any other that
/// shares the folder. Only those who may replace the program can open it:
/// whoever can open a file can lock it and stall every update.

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <vector>

#include "platform/win32/Accounts.h"
#include "platform/win32/Handle.h"
#include "platform/win32/Paths.h"
#include "platform/win32/Staging.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Platform.h"
#include "update/Leftovers.h"

namespace quennel::win32 {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
/// Rights that do more than look at a file's attributes and access list.
constexpr DWORD kLookOnly = FILE_READ_ATTRIBUTES | FILE_READ_EA | READ_CONTROL | SYNCHRONIZE;

/// A file's status change time: the file server's clock.
FileStamp ChangeStamp(const FILE_BASIC_INFO& basic) {
  const auto ticks = static_cast<std::uint64_t>(basic.ChangeTime.QuadPart);
  return StampOf(FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)});
}

struct LocalDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalDeleter>;

bool Same(PSID sid, const std::vector<BYTE>& other) {
  return !other.empty() && EqualSid(sid, const_cast<BYTE*>(other.data()));
}

bool OwnedBy(HANDLE file, const std::vector<BYTE>& runner) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS)
    return false;
  const LocalMemory owned(descriptor);
  return owner && Same(owner, runner);
}

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
bool Trusted(HANDLE file, const std::vector<BYTE>& runner, PSID folderOwner) {
  DWORD flags = 0;
  if (GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
      !(flags & FILE_PERSISTENT_ACLS))
    return true;
  const PSID runnerSid = runner.empty() ? nullptr : const_cast<BYTE*>(runner.data());
  return OnlyAmong(file, ~kLookOnly, LockHolders(runnerSid, folderOwner));
}

/// Opens (or makes, hidden, with its own access list) the lock file
/// `path`; invalid where it cannot be opened or trusted.
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
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(rules.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return Handle();
  const LocalMemory ownedDescriptor(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  // Never through a link; never deleted while open, so never pending
  // deletion while others wait on it.
  Handle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL | WRITE_DAC,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return file;
  const bool made = GetLastError() != ERROR_ALREADY_EXISTS;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
    return Handle();
  if (made || Trusted(file.get(), runner, folderOwner)) return file;
  if (!OwnedBy(file.get(), runner)) return Handle();
  // The runner's own, yet open to others (another of its runs may still be
  // giving it its list): it gets the list a made one has.
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  if (GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
    SetSecurityInfo(file.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                    nullptr, nullptr, dacl, nullptr);
  return file;
}

enum class Take { Taken, HeldByOther, NoLocks };

/// Locks the first byte of `file` where nobody holds it.
Take TakeLock(HANDLE file) {
  OVERLAPPED whole{};
  if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) return Take::Taken;
  const DWORD error = GetLastError();
  return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? Take::HeldByOther : Take::NoLocks;
}

void ReleaseLock(HANDLE file) {
  OVERLAPPED whole{};
  UnlockFileEx(file, 0, 1, 0, &whole);
}

/// The held lock; closing the file lets the next run go (the system does
/// the same for a killed holder). The file stays for the next run.
class HeldLock final : public DestinationLock {
public:
  explicit HeldLock(Handle file) : file_(std::move(file)) {}
  ~HeldLock() override { ReleaseLock(file_.get()); }

private:
  Handle file_;
};

/// Writes our process id into the held lock file, so its change time is
/// the folder's "now"; returns that time.
std::optional<FileStamp> Stamp(HANDLE file) {
  const std::string pid = std::to_string(GetCurrentProcessId()) + "\r\n";
  DWORD written = 0;
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN) ||
      !WriteFile(file, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr) || !SetEndOfFile(file))
    return std::nullopt;
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) return std::nullopt;
  return ChangeStamp(basic);
}

/// Deletes the file open as `file`. A read-only attribute is cleared for
/// it, and put back when the delete is refused (a program still running):
/// nothing is left more open than it was.
void DeleteOpenFile(HANDLE file, FILE_BASIC_INFO basic) {
  const DWORD attributes = basic.FileAttributes;
  const auto setAttributes = [&](DWORD value) {
    FILE_BASIC_INFO change{};
    change.FileAttributes = value ? value : FILE_ATTRIBUTE_NORMAL;  // zero would leave them as they are
    return SetFileInformationByHandle(file, FileBasicInfo, &change, sizeof change) != FALSE;
  };
  const bool unlocked = (attributes & FILE_ATTRIBUTE_READONLY) && setAttributes(attributes & ~FILE_ATTRIBUTE_READONLY);
  FILE_DISPOSITION_INFO gone{TRUE};
  if (!SetFileInformationByHandle(file, FileDispositionInfo, &gone, sizeof gone) && unlocked)
    setAttributes(attributes);
}

}  // namespace

bool TrustedLockRules(PSID owner, PACL dacl, PSID runner, PSID folderOwner) {
  return OnlyAmong(owner, dacl, ~kLookOnly, LockHolders(runner, folderOwner));
}

void ClearLeftovers(const std::wstring& target, const FileStamp& now) {
  const Split where = SplitPath(target);
  std::vector<BYTE> runner;
  try {
    runner = RunnerSid();
  } catch (const PlatformError&) {
    return;  // whose files would they be?
  }
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  BOOL administrator = FALSE;
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) ||
      !CheckTokenMembership(nullptr, administrators, &administrator))
    administrator = FALSE;

  ForEachFound(where.folder + QuennelNameStart(where.name) + L"*", [&](const WIN32_FIND_DATAW& found) {
    const std::wstring name = found.cFileName;
    if (!IsQuennelName(name, where.name, Kind::Staging) && !IsQuennelName(name, where.name, Kind::SetAside))
      return true;
    // Through one handle from here, whatever the name comes to lead to.
    Handle file(CreateFileW((where.folder + name).c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES |
                                                               READ_CONTROL | SYNCHRONIZE,
                            kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                            nullptr));
    FILE_BASIC_INFO basic;
    if (!file.valid() || !GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic)) return true;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    GetSecurityInfo(file.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                    &descriptor);
    const LocalMemory owned(descriptor);
    const std::string utf8 = Utf8(name);
    const FoundFile candidate{
        utf8, !(basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)),
        administrator || (owner && Same(owner, runner)), ChangeStamp(basic)};
    const std::string program = Utf8(where.name);
    if (!IsStaleOwnFile(candidate, program, QuennelKind(Kind::Staging), NameUnits::Utf16, now) &&
        !IsStaleOwnFile(candidate, program, QuennelKind(Kind::SetAside), NameUnits::Utf16, now))
      return true;
    DeleteOpenFile(file.get(), basic);
    return true;
  });
}

bool RestoreSetAside(const std::wstring& target) {
  if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES || GetLastError() != ERROR_FILE_NOT_FOUND)
    return false;
  const Split where = SplitPath(target);
  std::optional<WIN32_FIND_DATAW> newest;
  ForEachFound(where.folder + QuennelNameStart(where.name) + L"*", [&](const WIN32_FIND_DATAW& found) {
    if (!(found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
        IsQuennelName(found.cFileName, where.name, Kind::SetAside) &&
        (!newest || CompareFileTime(&found.ftLastWriteTime, &newest->ftLastWriteTime) > 0))
      newest = found;
    return true;
  });
  if (!newest) return false;
  Handle old(CreateFileW((where.folder + newest->cFileName).c_str(), DELETE | SYNCHRONIZE, kShareAll, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return old.valid() && RenameByHandle(old.get(), target, false);
}

namespace {

/// Whether a program in `folder` is between the two renames of its
/// replacement: set aside, its name free, its lock held by another run.
bool RenameUnderWay(const std::wstring& folder) {
  bool underWay = false;
  ForEachFound(folder + L"*.quennel~*", [&](const WIN32_FIND_DATAW& found) {
    const std::wstring name = found.cFileName;
    const std::wstring program = name.substr(0, name.rfind(L".quennel~"));
    if (!IsQuennelName(name, program, Kind::SetAside) ||
        GetFileAttributesW((folder + program).c_str()) != INVALID_FILE_ATTRIBUTES)
      return true;
    // Looked at, never made: a lock file nobody made is held by nobody.
    Handle lock(CreateFileW((folder + LockFileName(program)).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr));
    if (!lock.valid()) return true;
    const Take taken = TakeLock(lock.get());
    if (taken == Take::Taken) ReleaseLock(lock.get());
    underWay = taken == Take::HeldByOther;
    return !underWay;
  });
  return underWay;
}

}  // namespace

std::unique_ptr<DestinationLock> Win32Platform::LockDestination(const std::string& destination) {
  const auto resolve = [&]() -> std::wstring {
    try {
      return ResolveTarget(Wide(destination));
    } catch (const PlatformError&) {
      return L"";  // the copy will meet the same problem and report it
    }
  };
  const std::wstring target = resolve();
  if (target.empty()) return nullptr;
  const Split where = SplitPath(target);
  // A name that leads nowhere while a program beside it is set aside may be
  // one of that program's other names (an 8.3 alias answers to nothing
  // then): its lock is the one to wait for, once the name leads somewhere.
  if (GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES &&
      (RenameUnderWay(where.folder) || resolve() != target))
    throw BusyError(SystemText(ERROR_LOCK_VIOLATION));
  Handle file = OpenLockFile(where.folder + LockFileName(where.name), where.folder);
  if (!file.valid()) return nullptr;  // no lock to be had or trusted: the update goes on without
  const Take taken = TakeLock(file.get());
  if (taken == Take::HeldByOther) throw BusyError(SystemText(ERROR_LOCK_VIOLATION));
  if (taken == Take::NoLocks) return nullptr;  // a file system that keeps no locks
  const std::optional<FileStamp> now = Stamp(file.get());
  auto lock = std::make_unique<HeldLock>(std::move(file));
  // What killed runs left: a program stranded aside goes back, stale copies go.
  RestoreSetAside(target);
  if (now) ClearLeftovers(target, *now);
  return lock;
}

}  // namespace quennel::win32
