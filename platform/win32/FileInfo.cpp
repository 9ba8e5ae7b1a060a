#include "platform/win32/FileInfo.h"

#include <aclapi.h>

#include <algorithm>
#include <limits>

#include "platform/win32/Accounts.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"

namespace quennel::win32 {
namespace {

/// 1601-01-01, where FILETIME counts from, in seconds before 1970.
constexpr std::int64_t kEpochGap = 11'644'473'600;
constexpr std::int64_t kTicksPerSecond = 10'000'000;
/// The last time SetFileTime takes (all ones means "leave it").
constexpr std::uint64_t kLastTicks = std::numeric_limits<std::int64_t>::max();

std::uint64_t Ticks(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FileStamp StampOfTicks(std::uint64_t ticks) {
  return FileStamp{static_cast<std::int64_t>(ticks / kTicksPerSecond) - kEpochGap,
                   static_cast<std::int32_t>(ticks % kTicksPerSecond) * 100};
}

}  // namespace

FileStamp StampOf(const FILETIME& time) { return StampOfTicks(Ticks(time)); }

FileStamp StampOf(const LARGE_INTEGER& ticks) { return StampOfTicks(static_cast<std::uint64_t>(ticks.QuadPart)); }

FILETIME FileTimeOf(const FileStamp& stamp) {
  // Zero means "leave it" too: the first time kept is one tick on.
  std::uint64_t ticks = 1;
  if (stamp.seconds >= static_cast<std::int64_t>(kLastTicks / kTicksPerSecond) - kEpochGap)
    ticks = kLastTicks;
  else if (stamp.seconds >= -kEpochGap)
    ticks = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(stamp.seconds + kEpochGap) * kTicksPerSecond +
                                           static_cast<std::uint64_t>(stamp.nanoseconds / 100));
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

FileKind KindOf(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return FileKind::Link;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::Folder : FileKind::Regular;
}

FileStatus StatusOf(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) ThrowLastError();
  FileStatus status;
  status.kind = KindOf(info.dwFileAttributes);
  status.modified = StampOf(info.ftLastWriteTime);
  status.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  status.id = {info.dwVolumeSerialNumber, (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  status.links = info.nNumberOfLinks;
  FILE_BASIC_INFO basic;
  if (GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic))
    status.changed = StampOf(basic.ChangeTime);
  return status;
}

bool KeepsChangeTime(std::wstring_view fileSystem) {
  for (const std::wstring_view none : {L"FAT", L"FAT12", L"FAT16", L"FAT32", L"exFAT"})
    if (CompareStringOrdinal(fileSystem.data(), static_cast<int>(fileSystem.size()), none.data(),
                             static_cast<int>(none.size()), TRUE) == CSTR_EQUAL)
      return false;
  return true;
}

FileStatus StatusKeptBy(HANDLE file) {
  FileStatus status = StatusOf(file);
  // FAT and exFAT keep no change time: whatever they report for one proves nothing.
  wchar_t fileSystem[MAX_PATH + 1] = {};
  if (GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, nullptr, fileSystem, MAX_PATH + 1) &&
      !KeepsChangeTime(fileSystem))
    status.changed = {};
  return status;
}

std::string OwnerOf(HANDLE file) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS)
    return "";
  const std::string text = Utf8(SidText(owner));
  LocalFree(descriptor);
  return text;
}

FileStamp StoreTime(HANDLE file, const FileStamp& time) {
  const FILETIME wanted = FileTimeOf(time);
  if (!SetFileTime(file, nullptr, nullptr, &wanted)) ThrowLastError();
  FILETIME stored;
  if (!GetFileTime(file, nullptr, nullptr, &stored)) ThrowLastError();
  return StampOf(stored);
}

}  // namespace quennel::win32
