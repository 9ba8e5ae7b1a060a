#pragma once
/// Signed versions: where the administrator lists trusted minisign keys,
/// only a new version signed with one of them goes in. The signature is
/// checked as far as it can be before anything is copied; the copied bytes
/// are then hashed and checked before the staging file is given its place.

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

namespace quennel {

/// A new version that may not go in: unsigned, signed by no trusted key,
/// or checked against a trust file that cannot itself be trusted.
class UntrustedVersion : public PlatformError {
public:
  using PlatformError::PlatformError;
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

/// The administrator's list of trusted keys.
struct TrustFile {
  std::string path;  // where it is, as messages show it
  std::string text;
};

/// The list of trusted keys, where there is one: read without following a
/// link, believed only where nobody but its owners may change it or its
/// folder. Nothing when there is none; throws UntrustedVersion, with a text
/// naming it, when it cannot be read or believed.
std::optional<TrustFile> ReadTrustFile(Files& files);

/// minisign's default name for a file's signature: the file's, and this.
inline constexpr const char* kSignatureSuffix = ".minisig";
/// More than any signature minisign writes (its comments stop at 1 and 8 KiB).
inline constexpr std::size_t kSignatureMaxBytes = 16u << 10;
/// Room for a thousand keys.
inline constexpr std::size_t kTrustFileMaxBytes = 64u << 10;

/// One minisign public key: its id and its Ed25519 key.
struct TrustedKey {
  std::array<unsigned char, 8> id;
  std::array<unsigned char, 32> key;
};

/// The keys a trust file lists: `untrusted comment:` lines, blank lines and
/// `#` lines aside, one base64 key a line, as `minisign -G` writes it.
/// Throws PlatformError naming `path` for a line that is no key, or a list
/// without any key.
std::vector<TrustedKey> ParseTrustedKeys(std::string_view text, const std::string& path);

/// A file's name as minisign writes it into the signature's trusted comment
/// by default: the last element of its path.
std::string SignedFileName(std::string_view path, const NameRules& rules);

/// A signature file that names a trusted key, whose trusted comment that
/// key signed and names the file: all of that is checked when it is made
/// (PlatformError saying what is wrong). It then hashes the bytes it is
/// given (BLAKE2b-512, as minisign's prehashed form) and refuses them in
/// Finish() unless the signature covers them.
class SignatureCheck final : public ContentCheck {
public:
  SignatureCheck(std::string_view text, std::string path, const std::vector<TrustedKey>& keys,
                 std::string_view fileName, const NameRules& rules);
  ~SignatureCheck() override;
  void Add(const unsigned char* bytes, std::size_t size) override;
  void Finish() override;

private:
  struct Hash;
  std::string path_;
  std::array<unsigned char, 64> signature_{};
  std::array<unsigned char, 32> key_{};
  std::unique_ptr<Hash> hash_;
};

/// What a replacement of `source` must pass: nothing where the platform
/// has no trust file; else the check of its signature, read (after the
/// trust file) before any copy. Throws PlatformError, in words that name
/// the file concerned, when the version cannot be trusted.
std::unique_ptr<ContentCheck> SignatureRequired(Files& files, const std::string& source);

}  // namespace quennel
