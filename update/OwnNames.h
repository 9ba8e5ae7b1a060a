#pragma once
/// The names of Quennel's own files beside a program (a copy being staged,
/// an old version set aside), the same rule on every system: recognisably
/// the program's own, and short enough for any name the folder accepts.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quennel {

/// How a file system measures a name against its limit.
enum class NameUnits { Bytes, Utf16 };

/// Longest file name a folder takes, in its units (ext4, NTFS, FAT32 long
/// names, exFAT).
inline constexpr std::size_t kMaxNameLength = 255;

/// One kind of file: `LEAD NAME .quennel~ RANDOM ENDING`, NAME being the
/// program's file name.
struct OwnFileKind {
  std::string_view lead;    // "." hides it on POSIX
  std::size_t random;       // letters and digits that keep two runs apart
  std::string_view ending;  // ".tmp", ".old", or nothing
};

/// FNV-1a, 64 bits: a name's tag, and nothing that needs a secret.
std::uint64_t Fnv1a(std::string_view bytes, std::uint64_t seed = 0xCBF29CE484222325ull);

/// Everything before the random part. Where the whole name would pass
/// kMaxNameLength, NAME is cut between two characters (UTF-8, or WTF-8 on
/// Windows) and tagged with a hash of all of it, `NA~1a2b3c4d`, so two
/// programs sharing a long start never share their files.
std::string OwnFilePrefix(std::string_view name, const OwnFileKind& kind, NameUnits units);
/// The file name for `random` (kind.random letters or digits).
std::string OwnFileName(std::string_view name, const OwnFileKind& kind, std::string_view random,
                        NameUnits units);
/// Whether `candidate` is, exactly, one of the names OwnFileName gives.
bool IsOwnFileName(std::string_view candidate, std::string_view name, const OwnFileKind& kind, NameUnits units);

}  // namespace quennel
