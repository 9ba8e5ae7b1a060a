#pragma once
/// Where the administrator's trusted keys are, and who may change them.

#include <sys/stat.h>

#include <string>

#include "platform/Files.h"

namespace quennel {

/// The trusted keys' list of the binary in `binaryFolder`: `quennel/trusted-keys`
/// in the system configuration folder of its install prefix (the Debian
/// package's is /etc), found from the binary's place as the install laid
/// them out, so that a moved install finds its own.
std::string TrustFileFor(const std::string& binaryFolder);

/// What guards a file or folder of status `st` (lstat's: a link is unsafe).
Guard GuardOf(const struct stat& st);

}  // namespace quennel
