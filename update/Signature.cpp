#include "update/Signature.h"

#include <sodium.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "update/Texts.h"

namespace quennel {
namespace {

constexpr std::string_view kUntrustedComment = "untrusted comment:";
constexpr std::string_view kTrustedComment = "trusted comment: ";
constexpr std::string_view kFileField = "file:";
constexpr std::string_view kTimestampField = "timestamp:";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
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

/// A key id as minisign shows it: a little-endian number in hex, without
/// leading zeros.
std::string KeyIdText(const unsigned char* id) {
  unsigned long long number = 0;
  for (int i = 7; i >= 0; --i) number = (number << 8) | id[i];
  char text[17];
  std::snprintf(text, sizeof text, "%llX", number);
  return text;
}

bool SameName(std::string_view a, std::string_view b, bool ignoreCase) {
  if (!ignoreCase) return a == b;
  // Letters outside ASCII must match exactly: a name is never wrongly
  // taken for another, at worst refused.
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) { return lower(x) == lower(y); });
}

/// Whether a field of a trusted comment reads as one of its own
/// (`name:value`, or minisign's `hashed`) rather than the rest of a file
/// name holding a tab.
bool IsField(std::string_view field) {
  if (field == "hashed") return true;
  const std::size_t colon = field.find(':');
  return colon != std::string_view::npos && colon > 0 &&
         std::all_of(field.begin(), field.begin() + static_cast<std::ptrdiff_t>(colon),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; });
}

/// The tab-separated fields of a trusted comment, in any order: `file:`,
/// which runs on over tabs up to the next field of its own (a name may
/// hold one), and `timestamp:`.
void ReadFields(std::string_view comment, Signed& signature) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0; start <= comment.size();) {
    const std::size_t end = std::min(comment.find('\t', start), comment.size());
    fields.push_back(comment.substr(start, end - start));
    start = end + 1;
  }
  for (std::size_t k = 0; k < fields.size(); ++k) {
    if (fields[k].starts_with(kFileField) && !signature.fileName) {
      std::string name(fields[k].substr(kFileField.size()));
      while (k + 1 < fields.size() && !IsField(fields[k + 1])) name.append("\t").append(fields[++k]);
      signature.fileName = std::move(name);
    } else if (fields[k].starts_with(kTimestampField) && !signature.timestamp) {
      const std::string_view digits = fields[k].substr(kTimestampField.size());
      std::int64_t seconds = 0;
      bool number = !digits.empty() && digits.size() <= 18;
      for (const char c : digits) {
        number = number && c >= '0' && c <= '9';
        seconds = seconds * 10 + (c - '0');
      }
      if (number) signature.timestamp = seconds;
    }
  }
}

void Initialise() {
  if (sodium_init() < 0) throw UntrustedVersion("libsodium");
}

class HashCheck final : public ContentCheck {
public:
  explicit HashCheck(const Signed& signature) : signature_(signature.signature), key_(signature.key.key), path_(signature.path) {
    crypto_generichash_init(&state_, nullptr, 0, crypto_generichash_BYTES_MAX);
  }
  void Add(const unsigned char* bytes, std::size_t size) override { crypto_generichash_update(&state_, bytes, size); }
  void Finish() override {
    unsigned char digest[crypto_generichash_BYTES_MAX];
    crypto_generichash_final(&state_, digest, sizeof digest);
    if (crypto_sign_verify_detached(signature_.data(), digest, sizeof digest, key_.data()) != 0)
      throw UntrustedVersion(texts::kBadSignature + path_, true);
  }

private:
  crypto_generichash_state state_;
  std::array<unsigned char, 64> signature_;
  std::array<unsigned char, 32> key_;
  std::string path_;
};

}  // namespace

std::vector<TrustedKey> ParseTrustedKeys(std::string_view text, const std::string& path, bool required) {
  // PowerShell saves UTF-16 by default; Notepad adds a byte-order mark.
  if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF") || text.find('\0') != std::string_view::npos)
    throw UntrustedVersion(texts::kTrustUtf16 + path);
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
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
  if (keys.empty() && required) throw UntrustedVersion(texts::kTrustEmpty + path);
  return keys;
}

std::string Signed::KeyId() const { return KeyIdText(key.id.data()); }

Signed CheckSignature(std::string text, std::string path, const std::vector<TrustedKey>& keys) {
  Initialise();
  Signed result;
  result.path = std::move(path);
  // minisign's four lines: untrusted comment, signature, trusted comment,
  // and the signature of the trusted comment.
  const std::vector<std::string_view> lines = Lines(text);
  unsigned char signature[2 + 8 + 64];
  unsigned char global[64];
  if (lines.size() < 4 || !lines[0].starts_with(kUntrustedComment) || !Decode(lines[1], signature, sizeof signature) ||
      !lines[2].starts_with(kTrustedComment) || !Decode(lines[3], global, sizeof global))
    throw UntrustedVersion(texts::kSignatureMalformed + result.path, true);
  const std::string_view algorithm(reinterpret_cast<const char*>(signature), 2);
  if (algorithm == kLegacy) throw UntrustedVersion(texts::kLegacySignature + result.path);
  if (algorithm != kPrehashed) throw UntrustedVersion(texts::kSignatureMalformed + result.path, true);

  const unsigned char* id = signature + 2;
  const auto key = std::find_if(keys.begin(), keys.end(),
                                [&](const TrustedKey& k) { return std::memcmp(k.id.data(), id, k.id.size()) == 0; });
  if (key == keys.end())
    throw UntrustedVersion(texts::kUnknownKey + KeyIdText(id) + texts::kUnknownKeyEnd + result.path);
  result.key = *key;
  std::memcpy(result.signature.data(), signature + 10, result.signature.size());

  // The global signature covers the signature and its trusted comment.
  const std::string_view comment = lines[2].substr(kTrustedComment.size());
  std::string signedPart(reinterpret_cast<const char*>(result.signature.data()), result.signature.size());
  signedPart += comment;
  if (crypto_sign_verify_detached(global, reinterpret_cast<const unsigned char*>(signedPart.data()),
                                  signedPart.size(), key->key.data()) != 0)
    throw UntrustedVersion(texts::kAlteredSignature + result.path);
  ReadFields(comment, result);
  result.text = std::move(text);
  return result;
}

std::string SignedFileName(std::string_view path, const NameRules& rules) {
  const std::size_t slash = path.find_last_of(rules.separators);
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool NamesFile(const Signed& signature, std::string_view name, const NameRules& rules) {
  return signature.fileName && SameName(*signature.fileName, name, rules.ignoreCase);
}

std::unique_ptr<ContentCheck> BytesCheck(const Signed& signature) { return std::make_unique<HashCheck>(signature); }

}  // namespace quennel
