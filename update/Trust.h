#pragma once
/// The administrator's list of trusted keys, and who may turn it off.

#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "update/Signature.h"

namespace quennel {

/// The keys this machine trusts, and where the list is, as messages show it.
struct TrustList {
  std::vector<TrustedKey> keys;
  std::string where;
};

/// Reads the list (`trusted-keys`, and each `*.pub` file of the folder
/// beside it) without following a link, and believes it only where nobody
/// but its owners may change it, its files, or any folder from the root
/// down to it. Nothing when there is none: the list is off. Where there is
/// none yet a folder someone else may change stands above it, refusing
/// protects something only if that folder is not also above Quennel's own
/// binary (whoever may change that may change Quennel). Throws
/// UntrustedVersion, naming the file or folder, when the list is unsafe,
/// unreadable, malformed or lists no key: never "off" for those.
std::optional<TrustList> ReadTrustList(Platform platform);

/// The folders of `path` from its root down, `path` itself last.
std::vector<std::string> FolderChain(const std::string& path, const NameRules& rules);

}  // namespace quennel
