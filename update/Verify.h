#pragma once
/// `quennel --verify=NEW`: a publisher's check of a version before it is
/// moved into place.

#include <string>

#include "platform/Platform.h"

namespace quennel {

/// The option, alone on the command line, followed by the path.
inline constexpr const char* kVerifyOption = "--verify=";

struct Verdict {
  bool accepted = false;
  std::string text;  // why: the key, signing date and file, or the refusal
};

/// Whether this machine's trust list accepts the signature beside `path`
/// (taken as given) and the bytes it covers. Copies nothing; the order of
/// versions, which needs an installed copy, is not judged.
Verdict VerifyVersion(Platform platform, const std::string& path);

}  // namespace quennel
