/// Replacing the installed program on Windows: the new version is copied
/// into a staging file beside it, checked, dated, flushed, and moved over
/// it in one MoveFileExW.

#include <cwctype>
#include <vector>

#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Platform.h"

namespace quennel::win32 {
namespace {

/// Bytes copied between two event pumps.
constexpr DWORD kChunk = 1u << 20;
constexpr const char* kSourceChanged = "Le fichier source a changé pendant la copie.";
constexpr wchar_t kStagingMark[] = L".quennel~";
constexpr wchar_t kStagingEnd[] = L".tmp";
constexpr size_t kStagingDigits = 16;

struct Split {
  std::wstring folder;  // with its trailing separator, or empty for the current folder
  std::wstring name;
};

Split SplitPath(const std::wstring& path) {
  const size_t cut = path.find_last_of(L"\\/:");
  if (cut == std::wstring::npos) return {L"", path};
  return {path.substr(0, cut + 1), path.substr(cut + 1)};
}

/// Staging files of `NAME` are `NAME.quennel~<16 hex digits>.tmp`.
bool IsStagingName(const std::wstring& candidate, const std::wstring& name) {
  const std::wstring prefix = name + kStagingMark;
  const std::wstring end = kStagingEnd;
  if (candidate.size() != prefix.size() + kStagingDigits + end.size()) return false;
  if (CompareStringOrdinal(candidate.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                           static_cast<int>(prefix.size()), TRUE) != CSTR_EQUAL)
    return false;
  for (size_t k = prefix.size(); k < prefix.size() + kStagingDigits; ++k)
    if (!iswxdigit(candidate[k])) return false;
  return candidate.compare(candidate.size() - end.size(), end.size(), end) == 0;
}

/// Removes staging files that a killed run left. A live run keeps its own
/// open without delete sharing, so DeleteFileW leaves that one alone.
void RemoveStaleStaging(const Split& dest) {
  WIN32_FIND_DATAW found;
  const std::wstring pattern = dest.folder + dest.name + kStagingMark + L"*" + kStagingEnd;
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsStagingName(found.cFileName, dest.name))
      DeleteFileW((dest.folder + found.cFileName).c_str());
  } while (FindNextFileW(search, &found));
  FindClose(search);
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
  wchar_t digits[kStagingDigits + 1];
  for (size_t k = 0; k < kStagingDigits; ++k) digits[k] = L"0123456789abcdef"[(x >> (4 * k)) & 0xF];
  digits[kStagingDigits] = L'\0';
  return digits;
}

class Handle {
public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~Handle() {
    if (valid()) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  void reset(HANDLE handle) {
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
  }
  HANDLE release() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }

private:
  HANDLE handle_;
};

/// The staging file, deleted unless kept.
class StagingFile {
public:
  explicit StagingFile(const Split& dest) {
    for (int attempt = 0; attempt < 16 && !file_.valid(); ++attempt) {
      path_ = dest.folder + dest.name + kStagingMark + RandomHex() + kStagingEnd;
      // No delete sharing: a concurrent run's cleanup cannot remove it.
      file_.reset(CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
      if (!file_.valid() && GetLastError() != ERROR_FILE_EXISTS) ThrowLastError();
    }
    if (!file_.valid()) ThrowLastError();
  }
  ~StagingFile() {
    if (!file_.valid()) return;
    CloseHandle(file_.release());
    DeleteFileW(path_.c_str());
  }
  StagingFile(const StagingFile&) = delete;
  StagingFile& operator=(const StagingFile&) = delete;

  HANDLE get() const { return file_.get(); }
  const std::wstring& path() const { return path_; }
  /// Keeps the file, handing over its open handle.
  HANDLE keep() { return file_.release(); }

private:
  std::wstring path_;
  Handle file_;
};

/// Copies the rest of `in` to `out`, pumping events between chunks.
void CopyContents(HANDLE in, HANDLE out, Platform& platform) {
  std::vector<char> buffer(kChunk);
  while (true) {
    DWORD got = 0;
    if (!ReadFile(in, buffer.data(), kChunk, &got, nullptr)) ThrowLastError();
    if (got == 0) return;
    for (DWORD done = 0; done < got;) {
      DWORD put = 0;
      if (!WriteFile(out, buffer.data() + done, got - done, &put, nullptr)) ThrowLastError();
      done += put;
    }
    platform.PumpEvents();
  }
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
  return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

}  // namespace

std::string Win32Platform::StageCopy(const std::string& source, const std::string& destination) {
  const std::wstring sourcePath = Wide(source);
  const Split dest = SplitPath(Wide(destination));

  // Read sharing only: nobody writes the new version while it is copied.
  Handle in(CreateFileW(sourcePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in.valid()) ThrowLastError();
  BY_HANDLE_FILE_INFORMATION before;
  if (!GetFileInformationByHandle(in.get(), &before)) ThrowLastError();

  RemoveStaleStaging(dest);
  StagingFile staging(dest);
  CopyContents(in.get(), staging.get(), *this);

  // The copy must be the whole file as it was when the copy began.
  LARGE_INTEGER copied;
  if (!GetFileSizeEx(staging.get(), &copied)) ThrowLastError();
  WIN32_FILE_ATTRIBUTE_DATA after;
  if (!GetFileAttributesExW(sourcePath.c_str(), GetFileExInfoStandard, &after)) ThrowLastError();
  const ULONGLONG size = (static_cast<ULONGLONG>(before.nFileSizeHigh) << 32) | before.nFileSizeLow;
  if (static_cast<ULONGLONG>(copied.QuadPart) != size || after.nFileSizeHigh != before.nFileSizeHigh ||
      after.nFileSizeLow != before.nFileSizeLow || !SameTime(after.ftLastWriteTime, before.ftLastWriteTime))
    throw PlatformError(kSourceChanged);

  if (!SetFileTime(staging.get(), nullptr, nullptr, &before.ftLastWriteTime)) ThrowLastError();
  if (!FlushFileBuffers(staging.get())) ThrowLastError();

  const std::string path = Utf8(staging.path());
  staged_[path] = staging.keep();
  return path;
}

void Win32Platform::Release(const std::string& staged) noexcept {
  const auto held = staged_.find(staged);
  if (held == staged_.end()) return;
  CloseHandle(held->second);
  staged_.erase(held);
}

void Win32Platform::CommitStaged(const std::string& staged, const std::string& destination) {
  const std::wstring stagedPath = Wide(staged);
  const std::wstring destPath = Wide(destination);
  // The move needs the file unshared; it is guarded again if the move fails.
  Release(staged);
  if (MoveFileExW(stagedPath.c_str(), destPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return;
  const DWORD error = GetLastError();

  HANDLE guard = CreateFileW(stagedPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (guard != INVALID_HANDLE_VALUE) staged_[staged] = guard;

  if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION) {
    // A folder or a read-only file in the way will not go away by waiting.
    const DWORD attributes = GetFileAttributesW(destPath.c_str());
    const bool lasting = attributes != INVALID_FILE_ATTRIBUTES &&
                         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
    if (!lasting) throw BusyError(SystemText(error));
  }
  ThrowSystemError(error);
}

void Win32Platform::DiscardStaged(const std::string& staged) noexcept {
  Release(staged);
  DeleteFileW(Wide(staged).c_str());
}

}  // namespace quennel::win32
