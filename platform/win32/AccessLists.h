#pragma once
/// The rules Quennel reads access lists by, over security descriptors
/// alone: whether only trusted accounts may change a file of trusted keys,
/// and who may hold a program's lock file.

#include <windows.h>

#include <vector>

#include "platform/Files.h"
#include "platform/win32/Accounts.h"

namespace quennel::win32 {

/// `mask` with its generic rights mapped as a file's or folder's are.
ACCESS_MASK FileRights(ACCESS_MASK mask);

/// An entry of an access list that applies to the object itself; entries
/// only for a folder's contents (inherit-only) are none.
struct Entry {
  enum class Kind { Allow, Deny, Other } kind;
  PSID sid;
  ACCESS_MASK rights;  // generic rights mapped
};
/// The entries of `descriptor`'s access list; a descriptor without one
/// (open to everyone) reads as everyone allowed everything.
std::vector<Entry> EntriesOf(PSECURITY_DESCRIPTOR descriptor);

/// What guards a file or folder whose owner and access list are `object`,
/// in the folder whose ones are `parent` (null for a volume's root): Safe
/// when it is owned by one of `trusted` and nobody else may rename or
/// delete it (DELETE on it, FILE_DELETE_CHILD on its folder), change who
/// may (WRITE_DAC, WRITE_OWNER) or, for a file, write it. Creating files
/// in a folder changes nothing in it.
Guard GuardOfRules(PSECURITY_DESCRIPTOR object, PSECURITY_DESCRIPTOR parent, bool folder, const Accounts& trusted);

/// Rights on a lock file: open it to lock it, stamp it, remove it.
inline constexpr ACCESS_MASK kLockRights = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;

/// Who may replace a program, as its lock file's access list.
struct LockRules {
  Accounts admitted;
  std::vector<BYTE> list;  // an ACL: kLockRights to each admitted, denials first
};

/// The lock file's rules for the program whose owner and access list are
/// `program` (null where none is installed) in the folder whose ones are
/// `folder` (null where unreadable): whoever the program's entries grant
/// DELETE, write-data, WRITE_DAC or WRITE_OWNER, whoever the folder's grant
/// FILE_DELETE_CHILD, and always `runner`, Administrators and SYSTEM.
/// Entries denying those rights are copied as denials.
LockRules DeriveLockRules(PSECURITY_DESCRIPTOR program, PSECURITY_DESCRIPTOR folder, PSID runner);

/// Whether a lock file whose owner and access list are `lockFile` is one
/// to trust: its owner and every account its list lets do more than look
/// at it are among `admitted`.
bool LockTrusted(PSECURITY_DESCRIPTOR lockFile, const Accounts& admitted);

}  // namespace quennel::win32
