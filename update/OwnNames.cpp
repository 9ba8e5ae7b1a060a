#include "update/OwnNames.h"

#include <cstdio>

namespace quennel {
namespace {

constexpr std::string_view kMark = ".quennel~";
constexpr std::size_t kTagLength = 9;  // "~" and eight hex digits

bool Continues(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

/// The length of `text` in `units`: a four-byte character is two UTF-16
/// units, any other one.
std::size_t Measure(std::string_view text, NameUnits units) {
  if (units == NameUnits::Bytes) return text.size();
  std::size_t length = 0;
  for (const char byte : text)
    if (!Continues(byte)) length += (static_cast<unsigned char>(byte) >= 0xF0) ? 2 : 1;
  return length;
}

bool IsLetterOrDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

std::uint64_t Fnv1a(std::string_view bytes, std::uint64_t seed) {
  std::uint64_t hash = seed;
  for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
  return hash;
}

std::string OwnFilePrefix(std::string_view name, const OwnFileKind& kind, NameUnits units) {
  const std::size_t fixed = Measure(kind.lead, units) + kMark.size() + kind.random + Measure(kind.ending, units);
  std::string prefix(kind.lead);
  if (Measure(name, units) + fixed <= kMaxNameLength) return prefix.append(name).append(kMark);
  // Whole characters, as many as fit beside the tag.
  const std::size_t room = kMaxNameLength - fixed - kTagLength;
  std::size_t keep = 0, used = 0;
  while (keep < name.size()) {
    std::size_t end = keep + 1;
    while (end < name.size() && Continues(name[end])) ++end;
    used += Measure(name.substr(keep, end - keep), units);
    if (used > room) break;
    keep = end;
  }
  char tag[kTagLength + 1];
  std::snprintf(tag, sizeof tag, "~%08x", static_cast<unsigned>(Fnv1a(name) & 0xFFFFFFFFu));
  return prefix.append(name.substr(0, keep)).append(tag).append(kMark);
}

std::string OwnFileName(std::string_view name, const OwnFileKind& kind, std::string_view random,
                        NameUnits units) {
  return OwnFilePrefix(name, kind, units).append(random).append(kind.ending);
}

bool IsOwnFileName(std::string_view candidate, std::string_view name, const OwnFileKind& kind, NameUnits units) {
  const std::string prefix = OwnFilePrefix(name, kind, units);
  if (candidate.size() != prefix.size() + kind.random + kind.ending.size()) return false;
  if (!candidate.starts_with(prefix) || !candidate.ends_with(kind.ending)) return false;
  const std::string_view random = candidate.substr(prefix.size(), kind.random);
  for (const char c : random)
    if (!IsLetterOrDigit(c)) return false;
  return true;
}

}  // namespace quennel
