#pragma once
/// A signed version's way in: its signature checked before any copy, the
/// order of versions kept by the installed version's signature beside it,
/// and that signature replaced along with the program.

#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "update/Signature.h"

namespace quennel {

/// The new version's signature, and the keys it was checked with.
struct NewSignature {
  std::vector<TrustedKey> keys;
  Signed signature;
};

/// The new version's signature where the trust list is on: read (after the
/// list) and checked as far as it can be before anything is copied, its
/// file name and signing time included. Nothing when the list is off.
/// Throws UntrustedVersion, or NotYetDue for a signing time ahead of
/// `clock`.
std::optional<NewSignature> ReadNewSignature(Platform platform, const std::string& source, const FileStamp& clock);

/// What stands beside the program as its version's signature, `NAME.minisig`.
struct InstalledSignature {
  /// Where the program's name leaves room for one.
  bool kept = true;
  /// Its bytes, where a regular file of ours to read stood there: what a
  /// failed replacement puts back.
  std::optional<std::string> bytes;
  /// The signature, where it counts for the order of versions.
  std::optional<Signed> signature;
  /// Why it does not count, or is not kept, for the record.
  std::string note;
};

/// Reads it beside the program `place` holds, never through a link, never
/// blocking, at most kSignatureMaxBytes. It counts only while the program
/// is there, when it belongs to the system, the runner or the program's
/// owner, when a listed key signed its trusted comment, and when it names
/// the file `fresh` names.
InstalledSignature ReadInstalledSignature(Platform platform, Place& place, const NewSignature& fresh);

/// Whether the installed program's bytes are the ones `signature` covers;
/// their size goes to `size`.
bool InstalledBytesMatch(Place& place, const Signed& signature, std::uint64_t& size);

/// The signature file's name beside the program.
std::string SignatureName(const Place& place);

}  // namespace quennel
