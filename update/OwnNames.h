#pragma once
/// The names of Quennel's own files beside a program (a copy being staged,
/// an old version set aside, a signature on its way, the lock): the same
/// rule on every system, recognisably the program's own, and short enough
/// for any name the folder accepts.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/FileStatus.h"

namespace quennel {

/// Longest file name a folder takes, in its units (ext4, NTFS, FAT32 long
/// names, exFAT).
inline constexpr std::size_t kMaxNameLength = 255;
/// Lowercase hexadecimal digits that keep two runs' files apart.
inline constexpr std::size_t kRandomDigits = 16;

/// One kind of file: `LEAD NAME .quennel~ RANDOM ENDING`, NAME being the
/// program's file name and RANDOM kRandomDigits lowercase hex digits.
struct OwnFileKind {
  std::string_view lead;    // "." hides it on POSIX
  std::string_view ending;  // ".tmp", ".old", ".sig", ".minisig", or nothing
};

/// The kinds of one system's style (NameRules::windowsStyle).
struct OwnFileKinds {
  OwnFileKind staging;
  OwnFileKind signature;  // the installed version's signature on its way in
  /// A running program moved aside (Windows); null where a rename replaces
  /// a running program (POSIX).
  const OwnFileKind* setAside;
};
const OwnFileKinds& OwnKinds(const NameRules& rules);

/// FNV-1a, 64 bits: a name's tag, and nothing that needs a secret.
std::uint64_t Fnv1a(std::string_view bytes, std::uint64_t seed = 0xCBF29CE484222325ull);

/// `number` as kRandomDigits lowercase hexadecimal digits.
std::string HexDigits(std::uint64_t number);

/// Everything before the random part, the same for every kind of one
/// lead. Where the whole name would pass kMaxNameLength, NAME is cut
/// between two characters and tagged with a hash of all of it,
/// `NA~1a2b3c4d`, so two programs sharing a long start never share files.
std::string OwnFilePrefix(std::string_view name, const OwnFileKind& kind, NameUnits units);
/// The file name for `random` (kRandomDigits hex digits).
std::string OwnFileName(std::string_view name, const OwnFileKind& kind, std::string_view random, NameUnits units);
/// Whether `candidate` is, exactly, one of the names OwnFileName gives.
bool IsOwnFileName(std::string_view candidate, std::string_view name, const OwnFileKind& kind, NameUnits units);
/// The lock file of `name`: `.NAME.quennel~lock` (Windows `NAME.quennel~lock`),
/// never taken for a file of another kind.
std::string LockFileName(std::string_view name, const NameRules& rules);

}  // namespace quennel
