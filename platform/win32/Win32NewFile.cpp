#include "platform/win32/Win32NewFile.h"

#include <aclapi.h>

#include <algorithm>

#include "platform/win32/FileInfo.h"
#include "platform/win32/Rename.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "update/Texts.h"

namespace quennel::win32 {
namespace {

/// Bytes one system call moves at most.
constexpr std::size_t kMostAtOnce = 1u << 30;

FileId IdOf(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) ThrowLastError();
  return {info.dwVolumeSerialNumber, (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

/// The program's attributes, where it is a file.
std::optional<DWORD> ProgramAttributes(const std::wstring& program) {
  const DWORD attributes = GetFileAttributesW(program.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return std::nullopt;
  return attributes;
}

}  // namespace

void CopySecurity(const std::wstring& from, HANDLE file) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(from.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &descriptor) != ERROR_SUCCESS)
    return;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  const SECURITY_INFORMATION what =
      DACL_SECURITY_INFORMATION |
      ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
  const DWORD error = SetSecurityInfo(file, SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr);
  LocalFree(descriptor);
  if (error != ERROR_SUCCESS) ThrowSystemError(error);
}

Win32NewFile::Win32NewFile(Handle file, std::wstring folder, std::string name, std::wstring program)
    : file_(std::move(file)),
      folder_(std::move(folder)),
      name_(std::move(name)),
      path_(folder_ + Wide(name_)),
      program_(std::move(program)) {}

void Win32NewFile::Write(const unsigned char* bytes, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    DWORD put = 0;
    if (!WriteFile(file_.get(), bytes + done, static_cast<DWORD>(std::min(size - done, kMostAtOnce)), &put, nullptr))
      ThrowLastError();
    done += put;
  }
}

std::optional<std::uint64_t> Win32NewFile::CopyFrom(Source&, std::uint64_t) {
  // Quennel copies through its own buffer here: it sees every byte once.
  return std::nullopt;
}

std::size_t Win32NewFile::ReadAt(std::uint64_t offset, unsigned char* bytes, std::size_t size) {
  // A read at an offset moves the file's position: it goes back for the next write.
  LARGE_INTEGER position{}, none{};
  if (!SetFilePointerEx(file_.get(), none, &position, FILE_CURRENT)) ThrowLastError();
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  const bool read = ReadFile(file_.get(), bytes, static_cast<DWORD>(std::min(size, kMostAtOnce)), &got, &at) ||
                    GetLastError() == ERROR_HANDLE_EOF;
  const DWORD error = GetLastError();
  SetFilePointerEx(file_.get(), position, nullptr, FILE_BEGIN);
  if (!read) ThrowSystemError(error);
  return got;
}

FileStatus Win32NewFile::Status() { return StatusOf(file_.get()); }

void Win32NewFile::TakeProgramIdentity(const FileStatus&) {
  // A first install keeps what its folder hands down.
  const std::optional<DWORD> attributes = ProgramAttributes(program_);
  if (!attributes) return;
  CopySecurity(program_, file_.get());
  // Given once in place: a read-only file could not be renamed.
  kept_ = *attributes & kKeptAttributes;
}

void Win32NewFile::TakeCompanionIdentity() {
  // Readable by whoever may read the program; never hidden or read-only.
  if (ProgramAttributes(program_)) CopySecurity(program_, file_.get());
}

FileStamp Win32NewFile::SetTime(FileStamp time) { return StoreTime(file_.get(), time); }

void Win32NewFile::Flush() {
  if (!FlushFileBuffers(file_.get())) ThrowLastError();
}

void Win32NewFile::CloseForWriting() {
  // Nothing is ever started from a file open for writing: the handle is
  // traded for one that can only rename, date and delete it.
  const FileId written = IdOf(file_.get());
  file_.reset();
  file_.reset(CreateFileW(path_.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                          FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file_.valid()) ThrowLastError();
  if (IdOf(file_.get()) != written) {
    lost_ = true;
    file_.reset();
    throw PlatformError(texts::kStagingReplaced);
  }
}

void Win32NewFile::MoveTo(const std::string& name, bool replace) {
  const std::wstring to = folder_ + Wide(name);
  // A read-only file in the way would refuse the rename; it gets the
  // attribute back if the rename fails.
  const DWORD attributes = replace ? GetFileAttributesW(to.c_str()) : INVALID_FILE_ATTRIBUTES;
  const bool unlocked = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
                        !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                        SetFileAttributesW(to.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (!RenameByHandle(file_.get(), to, replace)) {
    const DWORD error = GetLastError();
    if (unlocked) SetFileAttributesW(to.c_str(), attributes);
    if (!replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) throw ExistsError(SystemText(error));
    ThrowRefusal(error, to);
  }
  moved_ = true;
  if (kept_ != 0) SetKeptAttributes(file_.get(), kept_);
  file_.reset();
}

void Win32NewFile::Discard() noexcept {
  if (moved_) return;
  FILE_DISPOSITION_INFO gone{TRUE};
  if (file_.valid() && SetFileInformationByHandle(file_.get(), FileDispositionInfo, &gone, sizeof gone)) {
    file_.reset();
    return;
  }
  file_.reset();
  if (!lost_) DeleteFileW(path_.c_str());
}

}  // namespace quennel::win32
