#include "platform/win32/Location.h"

#include <windows.h>

#include "platform/win32/FileInfo.h"
#include "platform/win32/Handle.h"
#include "platform/win32/Paths.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Files.h"
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
