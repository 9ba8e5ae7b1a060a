#pragma once
/// What the file system tells of a file, in the terms the rules of a run
/// compare.

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace quennel {

/// A file time: seconds since 1970 (negative before) and the nanoseconds
/// within that second (0 to 999,999,999), compared as a pair, so every time
/// a system reports compares exactly and nothing overflows.
struct FileStamp {
  std::int64_t seconds = 0;
  std::int32_t nanoseconds = 0;
  auto operator<=>(const FileStamp&) const = default;
};

/// Which file on which volume: two names of one file share it. Zero where
/// the system cannot say.
struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileId&) const = default;
};

enum class FileKind { Regular, Folder, Link, Other };

struct FileStatus {
  FileKind kind = FileKind::Regular;
  FileStamp modified;
  /// The status change time, which nobody can set; zero on a volume that
  /// keeps none.
  FileStamp changed;
  std::uint64_t size = 0;
  FileId id;
  std::uint32_t links = 1;
  /// Who may read, write and run it (POSIX mode bits 07777); 0 where the
  /// system keeps no such bits.
  std::uint32_t permissions = 0;
  /// The owner, as Files::Runner() names the runner; filled only by the
  /// calls that say so, else empty.
  std::string owner;

  bool folder() const { return kind == FileKind::Folder; }
};

/// One entry of a folder, with its status (owner included).
struct FoundFile {
  std::string name;
  FileStatus status;
};

/// How a file system measures a name against its length limit.
enum class NameUnits { Bytes, Utf16 };

/// How this system writes paths and names.
struct NameRules {
  /// What ends a folder's name in a path.
  std::string_view separators;
  /// Whether two names that differ only in the case of ASCII letters name
  /// one file.
  bool ignoreCase = false;
  NameUnits units = NameUnits::Bytes;
  /// Whether Quennel's own files beside a program follow the Windows
  /// style (`NAME.quennel~<hex>.tmp`) rather than the hidden POSIX one
  /// (`.NAME.quennel~<hex>`).
  bool windowsStyle = false;
};

}  // namespace quennel
