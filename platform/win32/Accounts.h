#pragma once
/// Accounts and access lists: who runs Quennel, and whether only the right
/// accounts may own or use a file.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace quennel::win32 {

/// The account this process runs as: its SID's bytes. Throws PlatformError
/// where the process's token cannot be read.
std::vector<BYTE> RunnerSid();
/// `sid` as text (S-1-5-…); empty for none.
std::wstring SidText(PSID sid);
/// Whether this process's token counts the Administrators group.
bool RunnerIsInAdministrators();

/// The installer service's account, which owns Windows' own files.
inline constexpr const wchar_t* kTrustedInstaller = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

/// A set of accounts.
class Accounts {
public:
  void Add(PSID sid);  // none: nothing added
  void Add(WELL_KNOWN_SID_TYPE type);
  bool Contains(PSID sid) const;
  const std::vector<std::vector<BYTE>>& Sids() const { return sids_; }

private:
  std::vector<std::vector<BYTE>> sids_;
};

/// Administrators, SYSTEM and the installer service: the system's own.
Accounts SystemAccounts();

/// A security descriptor the system allocated, freed when dropped.
struct LocalDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
using Descriptor = std::unique_ptr<void, LocalDeleter>;

/// The owner and access list of the open file or folder `object` (opened
/// with READ_CONTROL); null where they cannot be read.
Descriptor SecurityOf(HANDLE object);
/// The same of `path` (extended), never through a link at its name.
Descriptor SecurityAt(const std::wstring& path);

}  // namespace quennel::win32
