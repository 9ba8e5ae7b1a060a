#include "platform/win32/Accounts.h"

#include <aclapi.h>
#include <sddl.h>

#include "platform/win32/Handle.h"
#include "platform/win32/SystemError.h"

namespace quennel::win32 {

std::vector<BYTE> RunnerSid() {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) ThrowLastError();
  const Handle token(opened);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<BYTE> user(size);
  if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) ThrowLastError();
  const PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
  const auto* first = static_cast<const BYTE*>(sid);
  return {first, first + GetLengthSid(sid)};
}

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!sid || !ConvertSidToStringSidW(sid, &text)) return L"";
  std::wstring result = text;
  LocalFree(text);
  return result;
}

bool RunnerIsInAdministrators() {
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
         CheckTokenMembership(nullptr, administrators, &member) && member;
}

void Accounts::Add(PSID sid) {
  if (!sid || Contains(sid)) return;
  const auto* first = static_cast<const BYTE*>(sid);
  sids_.emplace_back(first, first + GetLengthSid(sid));
}

void Accounts::Add(WELL_KNOWN_SID_TYPE type) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  if (CreateWellKnownSid(type, nullptr, sid, &size)) Add(static_cast<PSID>(sid));
}

bool Accounts::Contains(PSID sid) const {
  for (const auto& kept : sids_)
    if (EqualSid(const_cast<BYTE*>(kept.data()), sid)) return true;
  return false;
}

Accounts SystemAccounts() {
  Accounts system;
  system.Add(WinBuiltinAdministratorsSid);
  system.Add(WinLocalSystemSid);
  PSID installer = nullptr;
  if (ConvertStringSidToSidW(kTrustedInstaller, &installer)) {
    system.Add(installer);
    LocalFree(installer);
  }
  return system;
}

Descriptor SecurityOf(HANDLE object) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
    return nullptr;
  return Descriptor(descriptor);
}

Descriptor SecurityAt(const std::wstring& path) {
  const Handle object(CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                  nullptr));
  return object.valid() ? SecurityOf(object.get()) : nullptr;
}

}  // namespace quennel::win32
