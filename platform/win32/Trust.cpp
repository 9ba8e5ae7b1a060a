/// Signed versions on Windows: the list of trusted keys beside quennel.exe,
/// believed only where nobody but the administrators, the system, the
/// installer service and the runner may change it or its folder; and
/// reading a signature.

#include <windows.h>
#include <sddl.h>

#include <vector>

#include "platform/win32/Accounts.h"
#include "platform/win32/Handle.h"
#include "platform/win32/Paths.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Platform.h"
#include "update/Signature.h"
#include "update/Texts.h"

namespace quennel::win32 {
namespace {

constexpr const wchar_t* kTrustFileName = L"trusted-keys.txt";
constexpr const wchar_t* kTrustedInstaller = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
/// Rights that change a file's bytes or a folder's entries, or who holds rights.
constexpr ACCESS_MASK kWriting = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD | DELETE |
                                 WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

/// Those who may change the list: the administrators, the system, the
/// installer service and the user running Quennel.
Accounts Writers() {
  Accounts writers;
  writers.Add(WinBuiltinAdministratorsSid);
  writers.Add(WinLocalSystemSid);
  PSID sid = nullptr;
  if (ConvertStringSidToSidW(kTrustedInstaller, &sid)) {
    writers.Add(sid);
    LocalFree(sid);
  }
  try {
    const std::vector<BYTE> runner = RunnerSid();
    writers.Add(const_cast<BYTE*>(runner.data()));
  } catch (const PlatformError&) {
  }
  return writers;
}

/// All of `file`, at most `limit` bytes; 0 or the error.
DWORD ReadSmall(HANDLE file, std::size_t limit, std::string& text) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return GetLastError();
  if (static_cast<std::uint64_t>(size.QuadPart) > limit) return ERROR_FILE_TOO_LARGE;
  char buffer[4096];
  for (DWORD got = 0;; text.append(buffer, got)) {
    if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) return GetLastError();
    if (got == 0) return 0;
    if (text.size() + got > limit) return ERROR_FILE_TOO_LARGE;
  }
}

}  // namespace

std::optional<TrustFile> Win32Platform::ReadTrustFile() {
  const std::wstring self = ModulePath();
  const std::wstring folder = self.substr(0, self.find_last_of(L"\\/") + 1);
  const std::string shown = Utf8(folder + kTrustFileName);
  const auto unreadable = [&](DWORD error) {
    return PlatformError(texts::kTrustUnreadable + shown + " (" + SystemText(error) + ")");
  };
  Handle file(CreateFileW(Extended(folder + kTrustFileName).c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid() && GetLastError() == ERROR_FILE_NOT_FOUND) return std::nullopt;
  if (!file.valid()) throw unreadable(GetLastError());
  Handle place(CreateFileW(Extended(folder).c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!place.valid()) throw unreadable(GetLastError());

  // A quennel.exe run from a folder that others may write trusts nothing there.
  const Accounts writers = Writers();
  if (!OnlyAmong(file.get(), kWriting, writers)) throw PlatformError(texts::kTrustUnsafe + shown);
  if (!OnlyAmong(place.get(), kWriting, writers))
    throw PlatformError(texts::kTrustFolderUnsafe + Utf8(folder.substr(0, folder.size() - 1)));
  TrustFile trust{shown, {}, true};
  if (const DWORD error = ReadSmall(file.get(), kTrustFileMaxBytes, trust.text)) throw unreadable(error);
  return trust;
}

std::string Win32Platform::ReadSignature(const std::string& path) {
  Handle file(CreateFileW(Extended(Wide(path)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) throw MissingError(SystemText(error));
    ThrowSystemError(error);
  }
  if (GetFileType(file.get()) != FILE_TYPE_DISK) ThrowSystemError(ERROR_INVALID_FUNCTION);
  std::string text;
  if (const DWORD error = ReadSmall(file.get(), kSignatureMaxBytes, text)) ThrowSystemError(error);
  return text;
}

}  // namespace quennel::win32
