#include "update/OwnNames.h"

#include <cstdio>

#include "update/Utf8.h"

namespace quennel {
namespace {

constexpr std::string_view kMark = ".quennel~";
constexpr std::string_view kLock = "lock";
constexpr std::size_t kTagLength = 9;  // "~" and eight hex digits
/// Room kept for the longest ending, whatever the kind: every kind of one
/// lead then shares its prefix, and one folder search finds them all.
constexpr std::size_t kEndingRoom = 8;  // ".minisig"

constexpr OwnFileKind kWindowsSetAside{"", ".old"};
constexpr OwnFileKinds kPosixKinds{{".", ""}, {".", ".minisig"}, nullptr};
constexpr OwnFileKinds kWindowsKinds{{"", ".tmp"}, {"", ".sig"}, &kWindowsSetAside};

/// The length of `text` in `units`: a four-byte character is two UTF-16
/// units, any other one.
std::size_t Measure(std::string_view text, NameUnits units) {
  if (units == NameUnits::Bytes) return text.size();
  std::size_t length = 0;
  for (const char byte : text)
    if (!utf8::Continues(byte)) length += (static_cast<unsigned char>(byte) >= 0xF0) ? 2 : 1;
  return length;
}

/// The prefix for a random part of `random` units.
std::string Prefix(std::string_view name, const OwnFileKind& kind, std::size_t random, NameUnits units) {
  const std::size_t fixed = Measure(kind.lead, units) + kMark.size() + random + kEndingRoom;
  std::string prefix(kind.lead);
  if (Measure(name, units) + fixed <= kMaxNameLength) return prefix.append(name).append(kMark);
  // Whole characters, as many as fit beside the tag.
  const std::size_t room = kMaxNameLength - fixed - kTagLength;
  std::size_t keep = 0, used = 0;
  while (keep < name.size()) {
    std::size_t end = keep + 1;
    while (end < name.size() && utf8::Continues(name[end])) ++end;
    used += Measure(name.substr(keep, end - keep), units);
    if (used > room) break;
    keep = end;
  }
  char tag[kTagLength + 1];
  std::snprintf(tag, sizeof tag, "~%08x", static_cast<unsigned>(Fnv1a(name) & 0xFFFFFFFFu));
  return prefix.append(name.substr(0, keep)).append(tag).append(kMark);
}

bool IsLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

const OwnFileKinds& OwnKinds(const NameRules& rules) { return rules.windowsStyle ? kWindowsKinds : kPosixKinds; }

std::uint64_t Fnv1a(std::string_view bytes, std::uint64_t seed) {
  std::uint64_t hash = seed;
  for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
  return hash;
}

std::string HexDigits(std::uint64_t number) {
  std::string digits(kRandomDigits, '0');
  for (std::size_t k = 0; k < kRandomDigits; ++k)
    digits[kRandomDigits - 1 - k] = "0123456789abcdef"[(number >> (4 * k)) & 0xF];
  return digits;
}

std::string OwnFilePrefix(std::string_view name, const OwnFileKind& kind, NameUnits units) {
  return Prefix(name, kind, kRandomDigits, units);
}

std::string OwnFileName(std::string_view name, const OwnFileKind& kind, std::string_view random, NameUnits units) {
  return OwnFilePrefix(name, kind, units).append(random).append(kind.ending);
}

bool IsOwnFileName(std::string_view candidate, std::string_view name, const OwnFileKind& kind, NameUnits units) {
  const std::string prefix = OwnFilePrefix(name, kind, units);
  if (candidate.size() != prefix.size() + kRandomDigits + kind.ending.size()) return false;
  if (!candidate.starts_with(prefix) || !candidate.ends_with(kind.ending)) return false;
  for (const char c : candidate.substr(prefix.size(), kRandomDigits))
    if (!IsLowerHex(c)) return false;
  return true;
}

std::string LockFileName(std::string_view name, const NameRules& rules) {
  const OwnFileKind kind{OwnKinds(rules).staging.lead, ""};
  return Prefix(name, kind, kLock.size(), rules.units).append(kLock);
}

}  // namespace quennel
