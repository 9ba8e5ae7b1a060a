#include "platform/win32/Paths.h"

#include <windows.h>

#include <cwctype>

#include "platform/win32/Handle.h"
#include "platform/win32/SystemError.h"

namespace quennel::win32 {
namespace {

constexpr wchar_t kMark[] = L".quennel~";
constexpr size_t kMarkLength = sizeof kMark / sizeof kMark[0] - 1;
constexpr size_t kRandomLength = 16;
constexpr size_t kEndLength = 4;

const wchar_t* End(Kind kind) { return kind == Kind::Staging ? L".tmp" : L".old"; }

/// The part of `name` that goes into a name of Quennel's, never ending
/// inside a surrogate pair.
std::wstring NamePart(const std::wstring& name) {
  const size_t room = kMaxNameLength - kMarkLength - kRandomLength - kEndLength;
  if (name.size() <= room) return name;
  size_t cut = room;
  if (IS_HIGH_SURROGATE(name[cut - 1])) --cut;
  return name.substr(0, cut);
}

bool StartsWith(const std::wstring& text, const std::wstring& start) {
  return text.size() >= start.size() &&
         CompareStringOrdinal(text.c_str(), static_cast<int>(start.size()), start.c_str(),
                              static_cast<int>(start.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

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

std::wstring ResolveTarget(const std::wstring& destination) {
  const std::wstring path = Extended(destination);
  Handle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    // The name itself exists, yet what it leads to does not: a dangling link.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND))
      ThrowSystemError(error);
    return path;
  }
  if (!(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT)) return path;
  std::wstring final(path.size() + MAX_PATH, L'\0');
  while (true) {
    const DWORD length = GetFinalPathNameByHandleW(file.get(), final.data(), static_cast<DWORD>(final.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) ThrowLastError();
    if (length < final.size()) {
      final.resize(length);
      return Extended(final);
    }
    final.resize(length + 1);
  }
}

std::wstring QuennelNameStart(const std::wstring& name) { return NamePart(name) + kMark; }

std::wstring QuennelName(const std::wstring& name, Kind kind, const std::wstring& random) {
  return QuennelNameStart(name) + random + End(kind);
}

bool IsQuennelName(const std::wstring& candidate, const std::wstring& name, Kind kind) {
  const std::wstring start = QuennelNameStart(name);
  if (candidate.size() != start.size() + kRandomLength + kEndLength || !StartsWith(candidate, start)) return false;
  for (size_t k = start.size(); k < start.size() + kRandomLength; ++k)
    if (!iswxdigit(candidate[k])) return false;
  return candidate.compare(candidate.size() - kEndLength, kEndLength, End(kind)) == 0;
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
