#include "platform/win32/AccessLists.h"

namespace quennel::win32 {
namespace {

/// Rights that only look at a file: its attributes and its access list.
constexpr ACCESS_MASK kLookOnly = FILE_READ_ATTRIBUTES | FILE_READ_EA | READ_CONTROL | SYNCHRONIZE;
/// Rights on a program that let one replace it, or give oneself the right to.
constexpr ACCESS_MASK kReplacing = DELETE | FILE_WRITE_DATA | WRITE_DAC | WRITE_OWNER;

PSID Everyone() {
  static BYTE sid[SECURITY_MAX_SID_SIZE];
  static const bool made = [] {
    DWORD size = sizeof sid;
    return CreateWellKnownSid(WinWorldSid, nullptr, sid, &size) != FALSE;
  }();
  return made ? static_cast<PSID>(sid) : nullptr;
}

bool OwnedAmong(PSECURITY_DESCRIPTOR descriptor, const Accounts& accounts) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  return descriptor && GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner && accounts.Contains(owner);
}

/// Whether every entry of `descriptor` that grants any of `rights` grants
/// them to one of `accounts`; a kind of grant not read here counts against.
bool GrantedOnlyTo(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK rights, const Accounts& accounts) {
  for (const Entry& entry : EntriesOf(descriptor))
    if (entry.kind != Entry::Kind::Deny && (entry.rights & rights) &&
        (entry.kind == Entry::Kind::Other || !accounts.Contains(entry.sid)))
      return false;
  return true;
}

}  // namespace

ACCESS_MASK FileRights(ACCESS_MASK mask) {
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
  MapGenericMask(&mask, &mapping);
  return mask;
}

std::vector<Entry> EntriesOf(PSECURITY_DESCRIPTOR descriptor) {
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return {{Entry::Kind::Other, nullptr, ~0u}};
  if (!present || !dacl) return {{Entry::Kind::Allow, Everyone(), FILE_ALL_ACCESS}};
  std::vector<Entry> entries;
  for (DWORD k = 0; k < dacl->AceCount; ++k) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, k, reinterpret_cast<void**>(&header))) return {{Entry::Kind::Other, nullptr, ~0u}};
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;
    // Every kind of entry holds its mask first; the plain ones their account next.
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    Entry entry{Entry::Kind::Other, nullptr, FileRights(ace->Mask)};
    switch (header->AceType) {
      case ACCESS_ALLOWED_ACE_TYPE: entry = {Entry::Kind::Allow, &ace->SidStart, entry.rights}; break;
      // A condition may leave a denial out: it is read as one that holds.
      case ACCESS_DENIED_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_ACE_TYPE: entry = {Entry::Kind::Deny, &ace->SidStart, entry.rights}; break;
      default: break;
    }
    entries.push_back(entry);
  }
  return entries;
}

Guard GuardOfRules(PSECURITY_DESCRIPTOR object, PSECURITY_DESCRIPTOR parent, bool folder, const Accounts& trusted) {
  const ACCESS_MASK changing = DELETE | WRITE_DAC | WRITE_OWNER | (folder ? 0 : FILE_WRITE_DATA | FILE_APPEND_DATA);
  const bool safe = OwnedAmong(object, trusted) && GrantedOnlyTo(object, changing, trusted) &&
                    (!parent || GrantedOnlyTo(parent, FILE_DELETE_CHILD, trusted));
  return safe ? Guard::Safe : Guard::Unsafe;
}

LockRules DeriveLockRules(PSECURITY_DESCRIPTOR program, PSECURITY_DESCRIPTOR folder, PSID runner) {
  LockRules rules;
  Accounts denied;
  rules.admitted.Add(runner);
  rules.admitted.Add(WinBuiltinAdministratorsSid);
  rules.admitted.Add(WinLocalSystemSid);
  const auto read = [&](PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK rights) {
    if (!descriptor) return;
    for (const Entry& entry : EntriesOf(descriptor)) {
      if (!(entry.rights & rights)) continue;
      if (entry.kind == Entry::Kind::Allow) rules.admitted.Add(entry.sid);
      if (entry.kind == Entry::Kind::Deny) denied.Add(entry.sid);
    }
  };
  read(program, kReplacing);
  read(folder, FILE_DELETE_CHILD);

  DWORD size = sizeof(ACL);
  for (const Accounts* accounts : {&denied, &rules.admitted})
    for (const auto& sid : accounts->Sids()) size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + sid.size();
  rules.list.resize(size);
  auto* list = reinterpret_cast<PACL>(rules.list.data());
  InitializeAcl(list, size, ACL_REVISION);
  // Denials first, as the system reads a list in order.
  for (const auto& sid : denied.Sids())
    AddAccessDeniedAce(list, ACL_REVISION, kLockRights, const_cast<BYTE*>(sid.data()));
  for (const auto& sid : rules.admitted.Sids())
    AddAccessAllowedAce(list, ACL_REVISION, kLockRights, const_cast<BYTE*>(sid.data()));
  return rules;
}

bool LockTrusted(PSECURITY_DESCRIPTOR lockFile, const Accounts& admitted) {
  return OwnedAmong(lockFile, admitted) && GrantedOnlyTo(lockFile, ~kLookOnly, admitted);
}

}  // namespace quennel::win32
