/// Replacing the installed program on Windows: the new version is copied
/// into a staging file beside it, checked, given the installed copy's
/// identity and the source's time, flushed, and renamed over it through its
/// own handle, so no other run can take it while the destination is busy.

#include <windows.h>
#include <aclapi.h>

#include <vector>

#include "platform/win32/Handle.h"
#include "platform/win32/Paths.h"
#include "platform/win32/Staging.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Platform.h"
#include "update/StoredTime.h"
#include "update/Texts.h"

namespace quennel::win32 {
namespace {

/// Bytes copied between two progress calls (and so two event pumps).
constexpr DWORD kChunk = 1u << 20;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
/// What the installed copy's attributes hand on to the new version.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

std::uint64_t TicksOf(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

/// Copies the rest of `in` to `out`, telling `progress` between chunks and
/// `check` every byte written.
void CopyContents(HANDLE in, HANDLE out, std::uint64_t total, const CopyProgress& progress, ContentCheck* check) {
  std::vector<char> buffer(kChunk);
  std::uint64_t copied = 0;
  while (true) {
    DWORD got = 0;
    if (!ReadFile(in, buffer.data(), kChunk, &got, nullptr)) ThrowLastError();
    if (got == 0) return;
    for (DWORD done = 0; done < got;) {
      DWORD put = 0;
      if (!WriteFile(out, buffer.data() + done, got - done, &put, nullptr)) ThrowLastError();
      done += put;
    }
    if (check) check->Add(reinterpret_cast<const unsigned char*>(buffer.data()), got);
    copied += got;
    progress(copied, total);
  }
}

/// Gives `file` the installed copy's access rules, when there is one whose
/// rules can be read; a first install keeps what its folder hands down.
void CopySecurity(const std::wstring& installed, HANDLE file) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(installed.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                            nullptr, &descriptor) != ERROR_SUCCESS)
    return;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED)
                                                                     ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                     : UNPROTECTED_DACL_SECURITY_INFORMATION);
  const DWORD error = SetSecurityInfo(file, SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr);
  LocalFree(descriptor);
  if (error != ERROR_SUCCESS) ThrowSystemError(error);
}

class Win32StagedCopy final : public StagedCopy {
public:
  explicit Win32StagedCopy(std::wstring target) : target_(std::move(target)), where_(SplitPath(target_)) {}

  ~Win32StagedCopy() override {
    if (committed_ || path_.empty()) return;
    FILE_DISPOSITION_INFO gone{TRUE};
    if (file_.valid() && SetFileInformationByHandle(file_.get(), FileDispositionInfo, &gone, sizeof gone)) return;
    file_.reset();
    if (!lost_) DeleteFileW(path_.c_str());
  }

  /// Fills the staging file from `in`, whose state before the copy is `before`.
  void Fill(HANDLE in, const BY_HANDLE_FILE_INFORMATION& before, const std::wstring& source,
            const CopyProgress& progress, ContentCheck* check) {
    Create();
    const std::uint64_t size = (static_cast<std::uint64_t>(before.nFileSizeHigh) << 32) | before.nFileSizeLow;
    CopyContents(in, file_.get(), size, progress, check);

    // The copy must be the whole file as it was when the copy began.
    LARGE_INTEGER copied;
    if (!GetFileSizeEx(file_.get(), &copied)) ThrowLastError();
    WIN32_FILE_ATTRIBUTE_DATA after;
    if (!GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &after)) ThrowLastError();
    if (static_cast<std::uint64_t>(copied.QuadPart) != size || after.nFileSizeHigh != before.nFileSizeHigh ||
        after.nFileSizeLow != before.nFileSizeLow ||
        TicksOf(after.ftLastWriteTime) != TicksOf(before.ftLastWriteTime))
      throw PlatformError(texts::kSourceChanged);
    // The bytes must be the signed ones before the file becomes anything more.
    if (check) check->Finish();

    const DWORD installed = GetFileAttributesW(target_.c_str());
    if (installed != INVALID_FILE_ATTRIBUTES && !(installed & FILE_ATTRIBUTE_DIRECTORY)) {
      kept_ = installed & kKeptAttributes;
      CopySecurity(target_, file_.get());
    }
    KeepTimeAtLeast(StampOf(before.ftLastWriteTime), [&](FileStamp wanted) -> std::optional<FileStamp> {
      const FILETIME time = FileTimeOf(wanted);
      if (!SetFileTime(file_.get(), nullptr, nullptr, &time)) ThrowLastError();
      FILETIME stored;
      if (!GetFileTime(file_.get(), nullptr, nullptr, &stored)) ThrowLastError();
      return StampOf(stored);
    });
    if (!FlushFileBuffers(file_.get())) ThrowLastError();
    CloseForWriting();
  }

  void Commit(RunningProgram running) override {
    // A read-only installed copy would refuse the rename; the new file gets
    // the attribute back once in place.
    const DWORD attributes = GetFileAttributesW(target_.c_str());
    const bool unlocked = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
                          !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                          SetFileAttributesW(target_.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (RenameByHandle(file_.get(), target_, true)) return Finish();
    const DWORD error = GetLastError();
    if (unlocked) SetFileAttributesW(target_.c_str(), attributes);
    if (Refused(error, attributes) != Refusal::Running || running == RunningProgram::Wait)
      ThrowRefusal(error, attributes);
    SetAside();
  }

private:
  /// The installed copy is a running program's image: it moves aside,
  /// where its instances go on, and the new file takes its name.
  void SetAside() {
    Handle old(CreateFileW(target_.c_str(), DELETE | SYNCHRONIZE, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!old.valid()) ThrowRefusal(GetLastError(), GetFileAttributesW(target_.c_str()));
    bool moved = false;
    for (int attempt = 0; attempt < 16 && !moved; ++attempt) {
      moved = ReplaceSettingAside(old.get(), file_.get(), target_,
                                  where_.folder + QuennelName(where_.name, Kind::SetAside, RandomHex()));
      if (!moved && GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS)
        ThrowRefusal(GetLastError(), GetFileAttributesW(target_.c_str()));
    }
    if (!moved) ThrowSystemError(ERROR_FILE_EXISTS);
    Finish();
    // Gone at once when nobody runs it any more; else a later replacement
    // clears it.
    FILE_DISPOSITION_INFO gone{TRUE};
    SetFileInformationByHandle(old.get(), FileDispositionInfo, &gone, sizeof gone);
  }

  void Create() {
    for (int attempt = 0; attempt < 16 && !file_.valid(); ++attempt) {
      path_ = where_.folder + QuennelName(where_.name, Kind::Staging, RandomHex());
      // No delete sharing: another run's clean-up cannot remove it.
      file_.reset(CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC, FILE_SHARE_READ,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
      if (!file_.valid() && GetLastError() != ERROR_FILE_EXISTS) {
        const DWORD error = GetLastError();
        path_.clear();
        ThrowSystemError(error);
      }
    }
    if (!file_.valid()) {
      path_.clear();
      ThrowSystemError(ERROR_FILE_EXISTS);
    }
  }

  /// Trades the write handle for one that can only rename, date and delete,
  /// so the program is never started from a file open for writing.
  void CloseForWriting() {
    BY_HANDLE_FILE_INFORMATION written;
    if (!GetFileInformationByHandle(file_.get(), &written)) ThrowLastError();
    file_.reset();
    file_.reset(CreateFileW(path_.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                            FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file_.valid()) ThrowLastError();
    BY_HANDLE_FILE_INFORMATION reopened;
    if (!GetFileInformationByHandle(file_.get(), &reopened)) ThrowLastError();
    if (!SameFile(written, reopened)) {
      lost_ = true;
      file_.reset();
      throw PlatformError(texts::kStagingReplaced);
    }
  }

  /// The new file is in place: it takes the installed copy's attributes.
  void Finish() {
    committed_ = true;
    if (kept_ != 0) {
      FILE_BASIC_INFO basic{};
      if (GetFileInformationByHandleEx(file_.get(), FileBasicInfo, &basic, sizeof basic)) {
        basic.FileAttributes = (basic.FileAttributes & ~kKeptAttributes & ~FILE_ATTRIBUTE_NORMAL) | kept_;
        basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0;  // zero: left as they are
        basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0;
        SetFileInformationByHandle(file_.get(), FileBasicInfo, &basic, sizeof basic);
      }
    }
    file_.reset();
  }

  /// What refused the rename with `error`: opening the destination for
  /// delete access tells a running image from an open file.
  Refusal Refused(DWORD error, DWORD attributes) const {
    DWORD openError = 0;
    Handle probe(CreateFileW(target_.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!probe.valid()) openError = GetLastError();
    return ClassifyRefusal(error, attributes, openError);
  }

  [[noreturn]] void ThrowRefusal(DWORD error, DWORD attributes) {
    if (Refused(error, attributes) == Refusal::Lasting) ThrowSystemError(error);
    throw BusyError(SystemText(error));
  }

  const std::wstring target_;  // where the installed program lives, extended form
  const Split where_;
  std::wstring path_;  // the staging file, once created
  Handle file_;
  DWORD kept_ = 0;
  bool committed_ = false;
  bool lost_ = false;  // the name no longer leads to our file: never delete it
};

}  // namespace

Refusal ClassifyRefusal(DWORD renameError, DWORD destinationAttributes, DWORD deleteOpenError) {
  if (renameError != ERROR_SHARING_VIOLATION && renameError != ERROR_ACCESS_DENIED &&
      renameError != ERROR_LOCK_VIOLATION)
    return Refusal::Lasting;
  // A folder in the way will not go away by waiting.
  if (destinationAttributes != INVALID_FILE_ATTRIBUTES && (destinationAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return Refusal::Lasting;
  switch (deleteOpenError) {
    case 0:
      return Refusal::Running;
    case ERROR_ACCESS_DENIED:
      return Refusal::Lasting;
    default:
      return Refusal::Busy;
  }
}

bool RenameByHandle(HANDLE file, const std::wstring& to, bool replace) {
  const DWORD bytes = static_cast<DWORD>(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t));
  std::vector<unsigned char> buffer(bytes);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
  to.copy(info->FileName, to.size());
  return SetFileInformationByHandle(file, FileRenameInfo, info, bytes);
}

bool ReplaceSettingAside(HANDLE installed, HANDLE replacement, const std::wstring& target,
                         const std::wstring& aside) {
  if (!RenameByHandle(installed, aside, false)) return false;
  // The name is empty from here until the new file takes it.
  if (RenameByHandle(replacement, target, false)) return true;
  const DWORD error = GetLastError();
  RenameByHandle(installed, target, false);
  ThrowSystemError(error);
}

std::unique_ptr<StagedCopy> Win32Platform::StageCopy(const std::string& source, const std::string& destination,
                                                     const CopyProgress& progress, ContentCheck* check) {
  const std::wstring sourcePath = Extended(Wide(source));
  // Read sharing only: nobody writes the new version while it is copied.
  Handle in(CreateFileW(sourcePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in.valid()) ThrowLastError();
  BY_HANDLE_FILE_INFORMATION before;
  if (!GetFileInformationByHandle(in.get(), &before)) ThrowLastError();
  if (before.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ThrowSystemError(ERROR_ACCESS_DENIED);

  auto staged = std::make_unique<Win32StagedCopy>(ResolveTarget(Wide(destination)));
  staged->Fill(in.get(), before, sourcePath, progress, check);
  return staged;
}

}  // namespace quennel::win32
