#pragma once
/// Accounts and access lists: who runs Quennel, and whether only the right
/// accounts may own or use a file.

#include <windows.h>

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

private:
  std::vector<std::vector<BYTE>> sids_;
};

/// Whether `owner` (who may always change the access list) and every
/// account `dacl` grants any of `rights` are among `allowed`. No owner, or
/// no list (open to everyone): false. A grant of a kind this does not read
/// counts against; denials and entries only for a folder's contents do not.
bool OnlyAmong(PSID owner, PACL dacl, ACCESS_MASK rights, const Accounts& allowed);
/// The same for the open file or folder `object`; false where its owner
/// and access list cannot be read.
bool OnlyAmong(HANDLE object, ACCESS_MASK rights, const Accounts& allowed);

}  // namespace quennel::win32
