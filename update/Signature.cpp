#include "update/Signature.h"

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "update/Texts.h"

namespace quennel {
namespace {

constexpr std::string_view kUntrustedComment = "untrusted comment:";
constexpr std::string_view kTrustedComment = "trusted comment: ";
constexpr std::string_view kFileField = "file:";
/// Ed25519 over BLAKE2b-512 of the file ("ED"), and the legacy form over
/// the whole file ("Ed"), which is also the public keys' algorithm.
constexpr std::string_view kPrehashed = "ED";
constexpr std::string_view kLegacy = "Ed";

/// The lines of `text`, each without its line break.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return lines;
}

std::string_view Trimmed(std::string_view text) {
  const std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

/// Exactly `size` bytes from base64 `text`, or false.
bool Decode(std::string_view text, unsigned char* out, std::size_t size) {
  std::size_t decoded = 0;
  return sodium_base642bin(out, size, text.data(), text.size(), nullptr, &decoded, nullptr,
                           sodium_base64_VARIANT_ORIGINAL) == 0 &&
         decoded == size;
}

/// A key id as minisign shows it: a little-endian number in hex.
std::string KeyIdText(const unsigned char* id) {
  char text[17];
  for (int i = 0; i < 8; ++i) std::snprintf(text + 2 * i, 3, "%02X", id[7 - i]);
  return text;
}

/// The folder part of `path`, without its last separator.
std::string FolderOf(const std::string& path, std::string_view separators) {
  const std::size_t cut = path.find_last_of(separators);
  return cut == std::string::npos ? "." : path.substr(0, cut);
}

bool SameName(std::string_view a, std::string_view b, bool ignoreCase) {
  if (!ignoreCase) return a == b;
  // Letters outside ASCII must match exactly: a name is never wrongly
  // taken for another, at worst refused.
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) { return lower(x) == lower(y); });
}

/// The name the first `file:` field of a trusted comment gives; the fields
/// are separated by tabs.
std::optional<std::string_view> FileField(std::string_view comment) {
  for (std::size_t start = 0; start <= comment.size();) {
    const std::size_t end = std::min(comment.find('\t', start), comment.size());
    const std::string_view field = comment.substr(start, end - start);
    if (field.starts_with(kFileField)) return field.substr(kFileField.size());
    start = end + 1;
  }
  return std::nullopt;
}

void Initialise() {
  if (sodium_init() < 0) throw UntrustedVersion("libsodium");
}

}  // namespace

struct SignatureCheck::Hash {
  crypto_generichash_state state;
};

std::vector<TrustedKey> ParseTrustedKeys(std::string_view text, const std::string& path) {
  std::vector<TrustedKey> keys;
  int number = 0;
  for (const std::string_view whole : Lines(text)) {
    ++number;
    const std::string_view line = Trimmed(whole);
    if (line.empty() || line.starts_with('#') || line.starts_with(kUntrustedComment)) continue;
    unsigned char bytes[2 + 8 + 32];
    if (!Decode(line, bytes, sizeof bytes) || std::memcmp(bytes, kLegacy.data(), 2) != 0)
      throw UntrustedVersion(texts::kTrustMalformed + std::to_string(number) + texts::kTrustMalformedEnd + path);
    TrustedKey& key = keys.emplace_back();
    std::memcpy(key.id.data(), bytes + 2, key.id.size());
    std::memcpy(key.key.data(), bytes + 10, key.key.size());
  }
  if (keys.empty()) throw UntrustedVersion(texts::kTrustEmpty + path);
  return keys;
}

std::string SignedFileName(std::string_view path, const NameRules& rules) {
  const std::size_t slash = path.find_last_of(rules.separators);
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

SignatureCheck::SignatureCheck(std::string_view text, std::string path, const std::vector<TrustedKey>& keys,
                               std::string_view fileName, const NameRules& rules)
    : path_(std::move(path)), hash_(std::make_unique<Hash>()) {
  Initialise();
  // minisign's four lines: untrusted comment, signature, trusted comment,
  // and the signature of the trusted comment.
  const std::vector<std::string_view> lines = Lines(text);
  unsigned char signature[2 + 8 + 64];
  unsigned char global[64];
  if (lines.size() < 4 || !lines[0].starts_with(kUntrustedComment) || !Decode(lines[1], signature, sizeof signature) ||
      !lines[2].starts_with(kTrustedComment) || !Decode(lines[3], global, sizeof global))
    throw UntrustedVersion(texts::kSignatureMalformed + path_);
  const std::string_view algorithm(reinterpret_cast<const char*>(signature), 2);
  if (algorithm == kLegacy) throw UntrustedVersion(texts::kLegacySignature + path_);
  if (algorithm != kPrehashed) throw UntrustedVersion(texts::kSignatureMalformed + path_);

  const unsigned char* id = signature + 2;
  const auto key = std::find_if(keys.begin(), keys.end(),
                                [&](const TrustedKey& k) { return std::memcmp(k.id.data(), id, k.id.size()) == 0; });
  if (key == keys.end()) throw UntrustedVersion(texts::kUnknownKey + KeyIdText(id) + texts::kUnknownKeyEnd + path_);
  std::memcpy(signature_.data(), signature + 10, signature_.size());
  key_ = key->key;

  // The global signature covers the signature and its trusted comment.
  const std::string_view comment = lines[2].substr(kTrustedComment.size());
  std::string signedPart(reinterpret_cast<const char*>(signature_.data()), signature_.size());
  signedPart += comment;
  if (crypto_sign_verify_detached(global, reinterpret_cast<const unsigned char*>(signedPart.data()),
                                  signedPart.size(), key_.data()) != 0)
    throw UntrustedVersion(texts::kAlteredSignature + path_);
  // A version signed for another program must not stand in for this one.
  const auto named = FileField(comment);
  if (!named || !SameName(*named, fileName, rules.ignoreCase))
    throw UntrustedVersion(texts::kOtherFile + std::string(named.value_or("")) + texts::kOtherFileEnd + path_);

  crypto_generichash_init(&hash_->state, nullptr, 0, crypto_generichash_BYTES_MAX);
}

SignatureCheck::~SignatureCheck() = default;

void SignatureCheck::Add(const unsigned char* bytes, std::size_t size) {
  crypto_generichash_update(&hash_->state, bytes, size);
}

void SignatureCheck::Finish() {
  unsigned char digest[crypto_generichash_BYTES_MAX];
  crypto_generichash_final(&hash_->state, digest, sizeof digest);
  if (crypto_sign_verify_detached(signature_.data(), digest, sizeof digest, key_.data()) != 0)
    throw UntrustedVersion(texts::kBadSignature + path_);
}

std::optional<TrustFile> ReadTrustFile(Files& files) {
  const TrustPaths places = files.TrustPlaces();
  const auto unreadable = [&](const PlatformError& error) {
    return UntrustedVersion(texts::kTrustUnreadable + places.list + " (" + error.what() + ")");
  };
  GuardedText list;
  try {
    list = files.ReadGuarded(places.list, kTrustFileMaxBytes);
  } catch (const MissingError&) {
    return std::nullopt;
  } catch (const PlatformError& error) {
    throw unreadable(error);
  }
  if (list.guard != Guard::Safe) throw UntrustedVersion(texts::kTrustUnsafe + places.list);
  // Whoever may rename or write its folder may put another list there.
  const std::string folder = FolderOf(places.list, files.Names().separators);
  std::optional<Guard> guard;
  try {
    guard = files.Examine(folder);
  } catch (const PlatformError& error) {
    throw unreadable(error);
  }
  if (guard != Guard::Safe && guard != Guard::SafeIfNextIs)
    throw UntrustedVersion(texts::kTrustFolderUnsafe + folder);
  return TrustFile{places.list, std::move(list.text)};
}

std::unique_ptr<ContentCheck> SignatureRequired(Files& files, const std::string& source) {
  const std::optional<TrustFile> trust = ReadTrustFile(files);
  if (!trust) return nullptr;
  const std::vector<TrustedKey> keys = ParseTrustedKeys(trust->text, trust->path);
  const std::string path = source + kSignatureSuffix;
  std::string text;
  try {
    text = files.ReadSmall(path, kSignatureMaxBytes);
  } catch (const MissingError&) {
    throw UntrustedVersion(texts::kNoSignature + path);
  } catch (const PlatformError& error) {
    throw UntrustedVersion(texts::kSignatureUnreadable + path + " (" + error.what() + ")");
  }
  const NameRules& rules = files.Names();
  return std::make_unique<SignatureCheck>(text, path, keys, SignedFileName(source, rules), rules);
}

}  // namespace quennel
