#include "platform/win32/Win32Files.h"

#include <windows.h>

#include "platform/win32/Accounts.h"
#include "platform/win32/FileInfo.h"
#include "platform/win32/Paths.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Place.h"
#include "platform/win32/Win32Source.h"

namespace quennel::win32 {

FileStatus Win32Files::Stat(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Extended(Wide(path)).c_str(), GetFileExInfoStandard, &data)) ThrowLastError();
  // What a link leads to takes an open; a plain file, the everyday start, does not.
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return StatFresh(path);
  FileStatus status;
  status.kind = KindOf(data.dwFileAttributes);
  status.modified = StampOf(data.ftLastWriteTime);
  status.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return status;
}

FileStatus Win32Files::StatFresh(const std::string& path) {
  const Handle file(CreateFileW(Extended(Wide(path)).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) ThrowLastError();
  return StatusKeptBy(file.get());
}

std::unique_ptr<Source> Win32Files::OpenSource(const std::string& path) {
  // Read sharing only: nobody writes the new version while it is copied.
  return std::make_unique<Win32Source>(OpenForReading(Extended(Wide(path)), 0, FILE_FLAG_SEQUENTIAL_SCAN));
}

std::string Win32Files::ReadSmall(const std::string& path, std::size_t limit) {
  const Handle file = OpenForReading(Extended(Wide(path)), 0, 0);
  return ReadWhole(file.get(), limit);
}

std::unique_ptr<Place> Win32Files::Resolve(const std::string& destination, bool makeFolders) {
  return std::make_unique<Win32Place>(destination, makeFolders);
}

std::string Win32Files::Runner() {
  std::vector<BYTE> runner = RunnerSid();
  return Utf8(SidText(runner.data()));
}

bool Win32Files::IsSystemAccount(const std::string& owner) {
  const std::wstring sid = Wide(owner);
  return sid == L"S-1-5-32-544" || sid == L"S-1-5-18" || sid == kTrustedInstaller;
}

bool Win32Files::RunnerIsAdministrator() { return RunnerIsInAdministrators(); }

const NameRules& WindowsNameRules() {
  static const NameRules rules{"\\/:", true, NameUnits::Utf16, true};
  return rules;
}

const NameRules& Win32Files::Names() { return WindowsNameRules(); }

}  // namespace quennel::win32
