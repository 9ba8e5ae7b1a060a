/// The administrator's trusted keys beside quennel.exe, believed only
/// where nobody but the administrators, the system, the installer service
/// and the runner may change them or their folder.

#include <windows.h>

#include "platform/win32/AccessLists.h"
#include "platform/win32/FileInfo.h"
#include "platform/win32/Handle.h"
#include "platform/win32/Paths.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Files.h"
#include "platform/win32/Win32Source.h"

namespace quennel::win32 {
namespace {

/// Those who may change the keys: the administrators, the system, the
/// installer service, the user running Quennel, and an object's owner as
/// such, who is one of them.
Accounts Writers() {
  Accounts writers = SystemAccounts();
  writers.Add(WinCreatorOwnerRightsSid);
  try {
    std::vector<BYTE> runner = RunnerSid();
    writers.Add(runner.data());
  } catch (const PlatformError&) {
  }
  return writers;
}

/// What guards the open file or folder `object` (opened as `path`, with
/// READ_CONTROL): on a volume without access lists (FAT) anyone may change
/// it; else its own list and its folder's tell.
Guard GuardOf(HANDLE object, const std::wstring& path) {
  DWORD flags = 0;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetVolumeInformationByHandleW(object, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
      !(flags & FILE_PERSISTENT_ACLS) || !GetFileInformationByHandle(object, &info))
    return Guard::Unsafe;
  const Descriptor own = SecurityOf(object);
  if (!own) return Guard::Unsafe;
  Descriptor parent;
  if (const std::optional<std::wstring> folder = ParentFolder(path)) {
    parent = SecurityAt(*folder);
    if (!parent) return Guard::Unsafe;
  }
  return GuardOfRules(own.get(), parent.get(), info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, Writers());
}

}  // namespace

TrustPaths Win32Files::TrustPlaces() {
  const std::wstring self = ModulePath();
  const std::wstring folder = SplitPath(self).folder;
  return {Utf8(folder + L"trusted-keys.txt"), Utf8(folder + L"trusted-keys.d")};
}

std::optional<Guard> Win32Files::Examine(const std::string& path) {
  const std::wstring extended = Extended(Wide(path));
  const Handle object(CreateFileW(extended.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!object.valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
    ThrowSystemError(error);
  }
  // A link's target may change under whoever may change the link's folder.
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(object.get(), &info)) ThrowLastError();
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return Guard::Unsafe;
  return GuardOf(object.get(), extended);
}

GuardedText Win32Files::ReadGuarded(const std::string& path, std::size_t limit) {
  const std::wstring extended = Extended(Wide(path));
  const Handle file = OpenForReading(extended, READ_CONTROL, FILE_FLAG_OPEN_REPARSE_POINT);
  GuardedText read;
  read.text = ReadWhole(file.get(), limit);
  read.guard = GuardOf(file.get(), extended);
  return read;
}

std::vector<std::string> Win32Files::ListFiles(const std::string& path) {
  std::wstring folder = Extended(Wide(path));
  if (!folder.ends_with(L'\\')) folder += L'\\';
  std::vector<std::string> names;
  const DWORD error = ForEachFound(folder + L"*", [&](const WIN32_FIND_DATAW& found) {
    if (!(found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
      names.push_back(Utf8(found.cFileName));
    return true;
  });
  if (error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND) {
    // An empty volume's root lists nothing; a folder that is not there is missing.
    if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES)
      throw MissingError(SystemText(ERROR_PATH_NOT_FOUND));
  } else if (error != 0) {
    ThrowSystemError(error);
  }
  return names;
}

}  // namespace quennel::win32
