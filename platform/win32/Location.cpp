#include "platform/win32/Location.h"

#include <windows.h>

#include "platform/win32/Accounts.h"
#include "platform/win32/FileInfo.h"
#include "platform/win32/Handle.h"
#include "platform/win32/Paths.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Files.h"
#include "platform/win32/Win32Texts.h"
#include "update/OwnNames.h"

namespace quennel::win32 {
namespace {

constexpr std::string_view kMark = ".quennel~";

bool SameIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

/// The name a missing program had, where a copy of it set aside says so
/// (its case may differ from the one given); else the name as given.
std::wstring LeftoverName(const std::wstring& folder, const std::wstring& given) {
  const NameRules& rules = WindowsNameRules();
  const OwnFileKind& aside = *OwnKinds(rules).setAside;
  const std::string name = Utf8(given);
  std::wstring real = given;
  ForEachFound(folder + Wide(OwnFilePrefix(name, aside, rules.units)) + L"*", [&](const WIN32_FIND_DATAW& found) {
    const std::string candidate = Utf8(found.cFileName);
    if (IsOwnFileName(candidate, name, aside, rules.units)) return false;
    // A name too long to go whole into the set-aside name only matches exactly.
    const std::string named = candidate.substr(0, candidate.rfind(kMark));
    if (!IsOwnFileName(candidate, named, aside, rules.units) || !SameIgnoringCase(Wide(named), given)) return true;
    real = Wide(named);
    return false;
  });
  return real;
}

/// `level` opened to look at and held: nobody renames or deletes it meanwhile.
Handle HoldFolder(const std::wstring& level) {
  Handle folder;
  for (const DWORD access : {DWORD{FILE_READ_ATTRIBUTES | READ_CONTROL}, DWORD{FILE_READ_ATTRIBUTES}}) {
    folder.reset(CreateFileW(level.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (folder.valid() || GetLastError() != ERROR_ACCESS_DENIED) break;
  }
  return folder;
}

/// Creates the missing folders of the extended folder path `folder` as the
/// runner, each with the list its parent hands down. Every folder on the
/// way stays held from the root down, so none can be swapped for a link
/// meanwhile; a link at a folder's name is gone through only where it is
/// the system's own.
void MakeFolders(const std::wstring& folder) {
  if (GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES) return;
  const Accounts system = SystemAccounts();
  std::vector<Handle> held;
  for (const std::wstring& level : FolderLevels(folder)) {
    Handle opened = HoldFolder(level);
    if (!opened.valid() && (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
      if (!CreateDirectoryW(level.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) ThrowLastError();
      opened = HoldFolder(level);
    }
    if (!opened.valid()) {
      const DWORD error = GetLastError();
      if (error == ERROR_SHARING_VIOLATION) throw BusyError(SystemText(error));
      ThrowSystemError(error);
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(opened.get(), &info)) ThrowLastError();
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ThrowSystemError(ERROR_DIRECTORY);
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      const Descriptor security = SecurityOf(opened.get());
      PSID owner = nullptr;
      BOOL defaulted = FALSE;
      if (!security || !GetSecurityDescriptorOwner(security.get(), &owner, &defaulted) || !owner ||
          !system.Contains(owner))
        throw PlatformError(texts::kFolderThroughLink + Utf8(level));
    }
    held.push_back(std::move(opened));
  }
}

}  // namespace

Location Locate(const std::wstring& destination, bool makeFolders) {
  const std::wstring path = Extended(destination);
  const Split given = SplitPath(path);
  if (makeFolders) MakeFolders(given.folder);
  const Handle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (file.valid()) {
    const Split real = SplitPath(RealPath(file.get(), path));
    return {real.folder, real.name};
  }
  const DWORD error = GetLastError();
  // The name itself exists, yet what it leads to does not: a dangling link.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND))
    ThrowSystemError(error);
  const Handle folder(CreateFileW(given.folder.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder.valid()) ThrowLastError();
  std::wstring real = RealPath(folder.get(), given.folder);
  if (!real.ends_with(L'\\')) real += L'\\';
  return {real, LeftoverName(real, given.name)};
}

}  // namespace quennel::win32
