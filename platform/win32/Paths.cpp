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

const OwnFileKind& KindOf(Kind kind) { return kind == Kind::Staging ? kStaging : kSetAside; }

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

std::wstring QuennelNameStart(const std::wstring& name) {
  // Both kinds share their start: one search finds them all.
  return Wide(OwnFilePrefix(Utf8(name), kStaging, NameUnits::Utf16));
}

std::wstring QuennelName(const std::wstring& name, Kind kind, const std::wstring& random) {
  return Wide(OwnFileName(Utf8(name), KindOf(kind), Utf8(random), NameUnits::Utf16));
}

bool IsQuennelName(const std::wstring& candidate, const std::wstring& name, Kind kind) {
  return IsOwnFileName(Utf8(candidate), Utf8(name), KindOf(kind), NameUnits::Utf16);
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
