#pragma once
/// Signed versions: where the administrator lists trusted minisign keys,
/// only a new version signed with one of them goes in. A signature is taken
/// apart and its trusted comment checked before anything is copied; the
/// copied bytes are then hashed and checked before the staging file is
/// given its place.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

namespace quennel {

/// A new version that may not go in: unsigned, signed by no trusted key,
/// or checked against a trust list that cannot itself be trusted.
class UntrustedVersion : public PlatformError {
public:
  /// `mayBeUnfinished`: what a version caught while it is being published
  /// shows (no signature yet, or one that is not the version's yet).
  explicit UntrustedVersion(const std::string& text, bool mayBeUnfinished = false)
      : PlatformError(text), mayBeUnfinished_(mayBeUnfinished) {}
  bool MayBeUnfinished() const { return mayBeUnfinished_; }

private:
  bool mayBeUnfinished_;
};

/// Sees every byte of a staging file, in order, and decides whether they
/// may be installed. The bytes are those the staging file holds: handed
/// over while they pass through Quennel, or read back from it right after
/// the system copied them; never read a second time from the source.
class ContentCheck {
public:
  virtual ~ContentCheck() = default;
  virtual void Add(const unsigned char* bytes, std::size_t size) = 0;
  /// Once every byte is seen, before the staging file gets its identity:
  /// throws UntrustedVersion to refuse them.
  virtual void Finish() = 0;
};

/// minisign's default name for a file's signature: the file's, and this.
inline constexpr const char* kSignatureSuffix = ".minisig";
/// More than any signature minisign writes (its comments stop at 1 and 8 KiB).
inline constexpr std::size_t kSignatureMaxBytes = 64u << 10;
/// Room for a thousand keys.
inline constexpr std::size_t kTrustFileMaxBytes = 64u << 10;

/// One minisign public key: its id and its Ed25519 key.
struct TrustedKey {
  std::array<unsigned char, 8> id;
  std::array<unsigned char, 32> key;
};

/// The keys a trust file lists: `untrusted comment:` lines, blank lines and
/// `#` lines aside, one base64 key a line, as `minisign -G` writes it (a
/// byte-order mark before it aside). Throws UntrustedVersion naming `path`
/// for a line that is no key, a file saved in UTF-16, or, with `required`,
/// a list without any key.
std::vector<TrustedKey> ParseTrustedKeys(std::string_view text, const std::string& path, bool required = true);

/// A minisign signature whose trusted comment one of the listed keys
/// signed: what it says.
struct Signed {
  std::string text;  // the signature file, whole
  std::string path;  // where it was read, as messages show it
  TrustedKey key{};
  std::array<unsigned char, 64> signature{};  // of the file's BLAKE2b-512 hash
  std::optional<std::string> fileName;        // its `file:` field
  std::optional<std::int64_t> timestamp;      // its `timestamp:` field
  std::string KeyId() const;                  // as minisign shows it
};

/// Takes `text` apart and checks it against `keys`: minisign's four lines,
/// the prehashed form, a listed key, a trusted comment that key signed.
/// Throws UntrustedVersion saying what is wrong, naming `path`.
Signed CheckSignature(std::string text, std::string path, const std::vector<TrustedKey>& keys);

/// A file's name as minisign writes it into the signature's trusted comment
/// by default: the last element of its path.
std::string SignedFileName(std::string_view path, const NameRules& rules);
/// Whether `name` is the one a signature's `file:` names.
bool NamesFile(const Signed& signature, std::string_view name, const NameRules& rules);

/// Hashes the bytes it is given (BLAKE2b-512, as minisign's prehashed
/// form) and refuses them in Finish() unless `signature` covers them.
std::unique_ptr<ContentCheck> BytesCheck(const Signed& signature);

}  // namespace quennel
