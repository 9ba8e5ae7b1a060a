#include "platform/win32/Paths.h"

#include <windows.h>

#include "platform/win32/Handle.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "update/OwnNames.h"

namespace quennel::win32 {
namespace {

constexpr size_t kRandomLength = 16;
constexpr OwnFileKind kStaging{"", kRandomLength, ".tmp"};
constexpr OwnFileKind kSetAside{"", kRandomLength, ".old"};
/// Four letters where the others have sixteen: never taken for one of them.
constexpr OwnFileKind kLock{"", 4, ""};

}  // namespace

const OwnFileKind& QuennelKind(Kind kind) {
  switch (kind) {
    case Kind::Staging: return kStaging;
    case Kind::SetAside: return kSetAside;
    case Kind::Lock: return kLock;
  }
  return kStaging;
}

std::wstring Extended(const std::wstring& path) {
  if (path.rfind(LR"(\\?\)", 0) == 0) return path;
  std::wstring full(path.size() + MAX_PATH, L'\0');
  while (true) {
    const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) ThrowLastError();
    if (length < full.size()) {
      full.resize(length);
      break;
    }
    full.resize(length + 1);
  }
  if (full.rfind(LR"(\\.\)", 0) == 0) return full;  // a device keeps its own form
  if (full.rfind(LR"(\\)", 0) == 0) return LR"(\\?\UNC\)" + full.substr(2);
  return LR"(\\?\)" + full;
}

Split SplitPath(const std::wstring& path) {
  const size_t cut = path.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return {L"", path};
  return {path.substr(0, cut + 1), path.substr(cut + 1)};
}

std::wstring FinalPath(HANDLE file) {
  std::wstring final(MAX_PATH, L'\0');
  while (true) {
    const DWORD length = GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return L"";
    if (length < final.size()) {
      final.resize(length);
      return Extended(final);
    }
    final.resize(length + 1);
  }
}

namespace {

/// The real path of `path`, open as `file`; where the system cannot say
/// (wine, past MAX_PATH), its long names at least.
std::wstring RealPath(HANDLE file, const std::wstring& path) {
  std::wstring real = FinalPath(file);
  if (!real.empty()) return real;
  real.resize(path.size() + 1);
  const DWORD length = GetLongPathNameW(path.c_str(), real.data(), static_cast<DWORD>(real.size()));
  if (length == 0 || length >= real.size()) return path;
  real.resize(length);
  return real;
}

}  // namespace

namespace {

/// The name a missing program had, where a copy of it set aside says so
/// (its name's case may differ from the one given); else the name as given.
std::wstring LeftoverName(const std::wstring& folder, const std::wstring& given) {
  std::wstring real = given;
  ForEachFound(folder + QuennelNameStart(given) + L"*", [&](const WIN32_FIND_DATAW& found) {
    const std::wstring named = SetAsideProgram(found.cFileName, given);
    if (!named.empty()) real = named;
    return named.empty();
  });
  return real;
}

}  // namespace

void ForEachFound(const std::wstring& pattern, const std::function<bool(const WIN32_FIND_DATAW&)>& visit) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  while (visit(found) && FindNextFileW(search, &found)) {
  }
  FindClose(search);
}

std::wstring ResolveTarget(const std::wstring& destination) {
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const std::wstring path = Extended(destination);
  Handle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (file.valid()) return RealPath(file.get(), path);
  const DWORD error = GetLastError();
  // The name itself exists, yet what it leads to does not: a dangling link.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND))
    ThrowSystemError(error);
  // Nothing there yet: the folder's real path, and the name as given.
  const Split where = SplitPath(path);
  Handle folder(CreateFileW(where.folder.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder.valid()) return path;  // the copy meets the same problem, and reports it
  std::wstring real = RealPath(folder.get(), where.folder);
  if (!real.ends_with(L'\\')) real += L'\\';
  return real + LeftoverName(real, where.name);
}

std::wstring QuennelNameStart(const std::wstring& name) {
  // Both kinds share their start: one search finds them all.
  return Wide(OwnFilePrefix(Utf8(name), kStaging, NameUnits::Utf16));
}

std::wstring LockFileName(const std::wstring& name) { return QuennelName(name, Kind::Lock, L"lock"); }

std::wstring QuennelName(const std::wstring& name, Kind kind, const std::wstring& random) {
  return Wide(OwnFileName(Utf8(name), QuennelKind(kind), Utf8(random), NameUnits::Utf16));
}

bool IsQuennelName(const std::wstring& candidate, const std::wstring& name, Kind kind) {
  return IsOwnFileName(Utf8(candidate), Utf8(name), QuennelKind(kind), NameUnits::Utf16);
}

std::wstring SetAsideProgram(const std::wstring& candidate, const std::wstring& given) {
  // A name too long to go whole into the set-aside name only matches exactly.
  if (IsQuennelName(candidate, given, Kind::SetAside)) return given;
  const size_t cut = candidate.rfind(L".quennel~");
  if (cut == std::wstring::npos) return L"";
  const std::wstring named = candidate.substr(0, cut);
  if (!IsQuennelName(candidate, named, Kind::SetAside) ||
      CompareStringOrdinal(named.data(), static_cast<int>(named.size()), given.data(), static_cast<int>(given.size()),
                           TRUE) != CSTR_EQUAL)
    return L"";
  return named;
}

std::wstring RandomHex() {
  // Unpredictable enough to keep two runs apart; CREATE_NEW settles the rest.
  static ULONGLONG counter = 0;
  LARGE_INTEGER tick;
  QueryPerformanceCounter(&tick);
  ULONGLONG x = static_cast<ULONGLONG>(tick.QuadPart) ^ (static_cast<ULONGLONG>(GetCurrentProcessId()) << 40) ^
                (++counter * 0x9E3779B97F4A7C15ull);
  // splitmix64's finaliser spreads the bits.
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  x ^= x >> 31;
  std::wstring digits(kRandomLength, L'0');
  for (size_t k = 0; k < kRandomLength; ++k) digits[k] = L"0123456789abcdef"[(x >> (4 * k)) & 0xF];
  return digits;
}

}  // namespace quennel::win32
