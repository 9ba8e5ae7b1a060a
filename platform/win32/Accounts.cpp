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
  if (!sid) return;
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

bool OnlyAmong(PSID owner, PACL dacl, ACCESS_MASK rights, const Accounts& allowed) {
  if (!owner || !dacl || !allowed.Contains(owner)) return false;
  for (DWORD k = 0; k < dacl->AceCount; ++k) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, k, reinterpret_cast<void**>(&header))) return false;
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;
    if (header->AceType == ACCESS_DENIED_ACE_TYPE || header->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) return false;
    const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
    if ((ace->Mask & rights) && !allowed.Contains(const_cast<DWORD*>(&ace->SidStart))) return false;
  }
  return true;
}

bool OnlyAmong(HANDLE object, ACCESS_MASK rights, const Accounts& allowed) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                      nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  const bool only = OnlyAmong(owner, dacl, rights, allowed);
  LocalFree(descriptor);
  return only;
}

}  // namespace quennel::win32
