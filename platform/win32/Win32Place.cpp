#include "platform/win32/Win32Place.h"

#include <windows.h>

#include "platform/win32/FileInfo.h"
#include "platform/win32/Handle.h"
#include "platform/win32/Paths.h"
#include "platform/win32/Rename.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Aside.h"
#include "platform/win32/Win32Lock.h"
#include "platform/win32/Win32NewFile.h"
#include "platform/win32/Win32Source.h"

namespace quennel::win32 {
namespace {

/// Never through a link at the name; a folder too.
constexpr DWORD kNoFollow = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

/// `path` opened to look at, with its owner where that may be read.
Handle OpenToLook(const std::wstring& path) {
  Handle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING,
                          kNoFollow, nullptr));
  if (!file.valid() && GetLastError() == ERROR_ACCESS_DENIED)
    file.reset(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, kNoFollow, nullptr));
  return file;
}

FileStatus LookedAt(HANDLE file) {
  FileStatus status = StatusOf(file);
  status.owner = OwnerOf(file);
  return status;
}

/// What the folder search says of an entry that cannot be opened: no id,
/// no owner, no change time, so nothing is ever done to it.
FileStatus FoundStatus(const WIN32_FIND_DATAW& found) {
  FileStatus status;
  status.kind = KindOf(found.dwFileAttributes);
  status.modified = StampOf(found.ftLastWriteTime);
  status.size = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
  return status;
}

}  // namespace

Win32Place::Win32Place(std::string destination, bool makeFolders)
    : destination_(std::move(destination)), where_(Locate(Wide(destination_), makeFolders)), name_(Utf8(where_.name)) {}

std::wstring Win32Place::PathOf(const std::string& name) const { return where_.folder + Wide(name); }

bool Win32Place::StillHere() const {
  try {
    return Locate(Wide(destination_), false) == where_;
  } catch (const PlatformError&) {
    return false;
  }
}

std::string Win32Place::FolderOwner() {
  const Handle folder(CreateFileW(where_.folder.c_str(), READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return folder.valid() ? OwnerOf(folder.get()) : "";
}

std::optional<FileStatus> Win32Place::Look(const std::string& name) {
  const Handle file = OpenToLook(PathOf(name));
  if (file.valid()) return LookedAt(file.get());
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
  ThrowSystemError(error);
}

std::vector<FoundFile> Win32Place::List(const std::string& prefix) {
  const std::wstring start = Wide(prefix);
  std::vector<FoundFile> found;
  ForEachFound(where_.folder + start + L"*", [&](const WIN32_FIND_DATAW& entry) {
    const std::wstring name = entry.cFileName;
    // The search also answers to short (8.3) names.
    if (name.size() < start.size() || name == L"." || name == L".." ||
        CompareStringOrdinal(name.data(), static_cast<int>(start.size()), start.data(), static_cast<int>(start.size()),
                             TRUE) != CSTR_EQUAL)
      return true;
    FoundFile file{Utf8(name), FoundStatus(entry)};
    if (const Handle opened = OpenToLook(where_.folder + name); opened.valid()) {
      try {
        file.status = LookedAt(opened.get());
      } catch (const PlatformError&) {
      }
    }
    found.push_back(std::move(file));
    return true;
  });
  return found;
}

std::unique_ptr<NewFile> Win32Place::Create(const std::string& name) {
  // Read sharing only: another run's clean-up cannot remove it while it is written.
  Handle file(CreateFileW(PathOf(name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC, FILE_SHARE_READ,
                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) throw ExistsError(SystemText(error));
    ThrowSystemError(error);
  }
  return std::make_unique<Win32NewFile>(std::move(file), where_.folder, name, Program());
}

std::unique_ptr<Source> Win32Place::Open(const std::string& name) {
  return std::make_unique<Win32Source>(OpenForReading(PathOf(name), 0, FILE_FLAG_OPEN_REPARSE_POINT));
}

FileStamp Win32Place::SetTime(const std::string& name, FileStamp time) {
  const Handle file(CreateFileW(PathOf(name).c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, nullptr,
                                OPEN_EXISTING, kNoFollow, nullptr));
  if (!file.valid()) ThrowLastError();
  return StoreTime(file.get(), time);
}

void Win32Place::Remove(const FoundFile& found) noexcept {
  if (found.status.id == FileId{}) return;
  try {
    // Through one handle from here, whatever the name comes to lead to.
    const Handle file(CreateFileW(PathOf(found.name).c_str(),
                                  DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, kShareAll,
                                  nullptr, OPEN_EXISTING, kNoFollow, nullptr));
    if (file.valid() && StatusOf(file.get()).id == found.status.id) DeleteByHandle(file.get());
  } catch (...) {
    // What cannot go stays.
  }
}

std::unique_ptr<HeldLock> Win32Place::Lock(const std::string& name) {
  // A name that leads nowhere while another program beside it is set aside
  // may be one of that program's other names (an 8.3 alias answers to
  // nothing then): it waits until it leads to a file, and never has a lock,
  // a copy or a name of its own. Found again last, as whatever it leads to
  // may have changed since it was found, or while it was looked at.
  if ((GetFileAttributesW(Program().c_str()) == INVALID_FILE_ATTRIBUTES &&
       OtherProgramAside(where_.folder, where_.name)) ||
      !StillHere())
    throw BusyError(SystemText(ERROR_LOCK_VIOLATION));
  return TakeLockFile(PathOf(name), Program(), where_.folder);
}

std::unique_ptr<AsideFile> Win32Place::SetAside(const std::string& name) {
  const std::wstring program = Program();
  // The attribute rights let a read-only copy go once unused; moving it needs only DELETE.
  Handle old;
  for (const DWORD access : {DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, DELETE | SYNCHRONIZE}) {
    old.reset(CreateFileW(program.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                          nullptr));
    if (old.valid() || GetLastError() != ERROR_ACCESS_DENIED) break;
  }
  if (!old.valid()) ThrowRefusal(GetLastError(), program);
  if (!RenameByHandle(old.get(), PathOf(name), false)) {
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) throw ExistsError(SystemText(error));
    ThrowRefusal(error, program);
  }
  return std::make_unique<Win32Aside>(std::move(old), program);
}

bool Win32Place::PutBack(const std::string& name) noexcept {
  try {
    const Handle aside(CreateFileW(PathOf(name).c_str(), DELETE | SYNCHRONIZE, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return aside.valid() && RenameByHandle(aside.get(), Program(), false);
  } catch (...) {
    return false;
  }
}

void Win32Place::CheckIdentityCanBeGiven() {
  // Whoever may replace a program here may give its access list to a file of its own.
}

}  // namespace quennel::win32
