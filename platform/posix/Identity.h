#pragma once
/// What a new version takes over from the copy it replaces, on POSIX.

#include <sys/stat.h>

#include <optional>

namespace quennel {

/// Gives the open staging file `staging` the identity of the installed copy
/// `installedName` (relative to the folder descriptor `folder`, or
/// AT_FDCWD; a symbolic link there is not followed): its owner and group
/// where this process may set them, its mode bits, its POSIX ACL and other
/// extended attributes, file capabilities included. Setuid survives only
/// with the owner, setgid only with the group, and a capability only with
/// the owner: none is carried onto a file of someone else. With no regular
/// file installed, the staging file takes the new version's permission bits
/// `source` less the umask, without setuid or setgid. Returns 0, or an
/// errno value when the identity cannot be given without widening or losing
/// who may run the program (an ACL or capability that cannot be set).
int TakeIdentity(int staging, int folder, const char* installedName, mode_t source);

/// Gives the open file `file`, kept beside the installed copy, that copy's
/// owner and group where this process may set them (else its own stay),
/// and mode 0644 whatever the umask: never setuid or setgid. Returns 0 or
/// an errno value.
int TakeCompanionIdentity(int file, int folder, const char* installedName);

/// Whether the installed copy `installedName` has file capabilities that a
/// new copy would have to carry (this process keeps it as its owner) but
/// that this process may not set: the copy would fail at its very end.
bool CapabilityBeyondReach(int folder, const char* installedName);

}  // namespace quennel
