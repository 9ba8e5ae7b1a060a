#include "platform/win32/Rename.h"

#include <vector>

#include "platform/Failures.h"
#include "platform/win32/FileInfo.h"
#include "platform/win32/Handle.h"
#include "platform/win32/SystemError.h"

namespace quennel::win32 {
namespace {

/// Replaces the open file's attributes by `attributes` (zero: none).
bool SetAttributes(HANDLE file, DWORD attributes) {
  // Zero times are left as they are, and so would zero attributes be.
  FILE_BASIC_INFO change{};
  change.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(file, FileBasicInfo, &change, sizeof change) != FALSE;
}

DWORD AttributesOf(HANDLE file) {
  FILE_BASIC_INFO basic;
  return GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ? basic.FileAttributes
                                                                                 : INVALID_FILE_ATTRIBUTES;
}

/// What refused a rename onto or of `destination`: opening it for delete
/// access tells a running image from an open file.
Refusal RefusalAt(DWORD renameError, const std::wstring& destination) {
  const DWORD attributes = GetFileAttributesW(destination.c_str());
  const Handle probe(CreateFileW(destination.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return ClassifyRefusal(renameError, attributes, probe.valid() ? 0 : GetLastError());
}

}  // namespace

Refusal ClassifyRefusal(DWORD renameError, DWORD destinationAttributes, DWORD deleteOpenError) {
  if (renameError != ERROR_SHARING_VIOLATION && renameError != ERROR_ACCESS_DENIED &&
      renameError != ERROR_LOCK_VIOLATION)
    return Refusal::Lasting;
  // A folder in the way will not go away by waiting.
  if (destinationAttributes != INVALID_FILE_ATTRIBUTES && (destinationAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return Refusal::Lasting;
  switch (deleteOpenError) {
    case 0: return Refusal::Running;
    case ERROR_ACCESS_DENIED: return Refusal::Lasting;
    default: return Refusal::Busy;
  }
}

void ThrowRefusal(DWORD error, const std::wstring& destination) {
  switch (RefusalAt(error, destination)) {
    case Refusal::Running: throw RunningError(SystemText(error));
    case Refusal::Busy: throw BusyError(SystemText(error));
    case Refusal::Lasting: break;
  }
  ThrowSystemError(error);
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

void DeleteByHandle(HANDLE file) noexcept {
  const DWORD attributes = AttributesOf(file);
  const bool unlocked = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
                        SetAttributes(file, attributes & ~FILE_ATTRIBUTE_READONLY);
  FILE_DISPOSITION_INFO gone{TRUE};
  if (!SetFileInformationByHandle(file, FileDispositionInfo, &gone, sizeof gone) && unlocked)
    SetAttributes(file, attributes);
}

bool SetKeptAttributes(HANDLE file, DWORD attributes) {
  const DWORD now = AttributesOf(file);
  if (now == INVALID_FILE_ATTRIBUTES) return false;
  return SetAttributes(file, (now & ~kKeptAttributes & ~FILE_ATTRIBUTE_NORMAL) | (attributes & kKeptAttributes));
}

}  // namespace quennel::win32
