#pragma once
/// The administrator's record: the one line a run writes to the system log.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace quennel {

/// The longest line recorded, in bytes: what rsyslog keeps by default (8 KiB,
/// its header included), and well within what an event's string may hold.
inline constexpr std::size_t kRecordLineLimit = 8000;

/// What a line tells; an empty text, or no status, is left out.
struct RecordFacts {
  std::string destination;
  std::string source;
  std::optional<FileStatus> newVersion;  // its size and time
  std::string user;
  std::string cause;        // the system's error text, or why the update was refused
  std::string commandLine;  // told for a usage error only
  std::string keyId;        // a signed version's key
  std::optional<FileStamp> signedAt;  // and signing time
  std::string note;         // what else the administrator should know
};

/// The line for `kind`: its first word, then the facts. Every text in it is
/// escaped, and the whole cut to kRecordLineLimit, so that nothing in a file
/// name or an error text can end the line or forge another.
std::string RecordLine(RecordKind kind, const RecordFacts& facts);

/// `text` with control characters (C0, DEL, C1, the Unicode line and
/// paragraph separators, the bidirectional controls) and bytes that are no
/// UTF-8 written as \xHH. A
/// backslash stays as it is (Windows paths are full of them) unless an x
/// follows it, so the escapes can always be told from the text.
std::string EscapeForRecord(std::string_view text);

/// A file time in UTC: "2026-03-02 08:15:00.000000000", as stat(1) shows it.
std::string RecordTime(const FileStamp& time);
/// The same to the second, for people: "2026-03-02 08:15:00 UTC".
std::string DateText(const FileStamp& time);

}  // namespace quennel
