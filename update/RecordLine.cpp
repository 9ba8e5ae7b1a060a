#include "update/RecordLine.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

#include "update/F_Main.h"
#include "update/Texts.h"
#include "update/Utf8.h"

namespace quennel {
namespace {

const char* FirstWord(RecordKind kind) {
  switch (kind) {
    case RecordKind::Installed: return texts::kRecordInstalled;
    case RecordKind::Failed: return texts::kRecordFailed;
    case RecordKind::Refused: return texts::kRecordRefused;
    case RecordKind::GaveUp: return texts::kRecordGaveUp;
    case RecordKind::Usage: return texts::kRecordUsage;
    case RecordKind::NotStarted: return texts::kRecordNotStarted;
  }
  return texts::kRecordFailed;
}

/// Control characters, the Unicode line and paragraph separators, and the
/// bidirectional controls, which can make a line read backwards.
bool IsControl(char32_t point) {
  return point < 0x20 || (point >= 0x7F && point <= 0x9F) || point == 0x2028 || point == 0x2029 ||
         point == 0x200E || point == 0x200F || (point >= 0x202A && point <= 0x202E) ||
         (point >= 0x2066 && point <= 0x2069);
}

void AppendEscaped(std::string& out, std::string_view bytes) {
  for (const char byte : bytes) {
    char escape[5];
    std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(byte));
    out += escape;
  }
}

}  // namespace

std::string EscapeForRecord(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    auto [point, length] = utf8::Decode(text);
    const bool escape = length == 0 || IsControl(point) || (point == '\\' && text.substr(1, 1) == "x");
    if (length == 0) length = 1;
    if (escape)
      AppendEscaped(out, text.substr(0, length));
    else
      out += text.substr(0, length);
    text.remove_prefix(length);
  }
  return out;
}

std::string RecordTime(const FileStamp& time) {
  // Days to a civil date (Howard Hinnant's civil_from_days), in 64 bits and
  // without overflow for any time a file system reports.
  const std::int64_t days = time.seconds / 86'400 - (time.seconds % 86'400 < 0);
  const std::int64_t second = time.seconds - days * 86'400;
  const std::int64_t shifted = days + 719'468;
  const std::int64_t era = (shifted >= 0 ? shifted : shifted - 146'096) / 146'097;
  const std::int64_t dayOfEra = shifted - era * 146'097;
  const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  const std::int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const std::int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const std::int64_t year = yearOfEra + era * 400 + (month <= 2);
  char text[160];
  std::snprintf(text, sizeof text, "%04" PRId64 "-%02" PRId64 "-%02" PRId64 " %02" PRId64 ":%02" PRId64
                ":%02" PRId64 ".%09" PRId32, year, month, day, second / 3600, second / 60 % 60, second % 60,
                time.nanoseconds);
  return text;
}

std::string DateText(const FileStamp& time) {
  const std::string precise = RecordTime(time);
  return precise.substr(0, precise.rfind('.')) + texts::kRecordUtc;
}

std::string RecordLine(RecordKind kind, const RecordFacts& facts) {
  std::string line = FirstWord(kind);
  line += " : ";
  // A path cannot hold a double quote (the command line ends it there).
  for (const auto& [label, path] : {std::pair{texts::kRecordDestination, &facts.destination},
                                    std::pair{texts::kRecordSource, &facts.source}}) {
    if (path->empty()) continue;
    line += label;
    line += '"';
    line += EscapeForRecord(*path);
    line += "\", ";
  }
  if (facts.newVersion) {
    line += std::to_string(facts.newVersion->size) + texts::kRecordBytes + ", " + texts::kRecordModified +
            RecordTime(facts.newVersion->modified) + texts::kRecordUtc + ", ";
  }
  if (!facts.keyId.empty()) line += texts::kRecordKey + EscapeForRecord(facts.keyId) + ", ";
  if (facts.signedAt) line += texts::kRecordSigned + DateText(*facts.signedAt) + ", ";
  line += texts::kRecordUser + EscapeForRecord(facts.user);
  if (!facts.cause.empty()) line += std::string(" ; ") + texts::kRecordCause + EscapeForRecord(facts.cause);
  if (!facts.note.empty()) line += std::string(" ; ") + texts::kRecordNote + EscapeForRecord(facts.note);
  if (kind == RecordKind::Usage)
    line += std::string(" ; ") + texts::kRecordCommandLine + EscapeForRecord(facts.commandLine);

  if (line.size() > kRecordLineLimit) {
    const std::string cut = texts::kRecordCut;
    std::size_t end = kRecordLineLimit - cut.size();
    // Cut between two characters, never inside one nor inside an escape
    // (every "\x" of the line starts one).
    while (end > 0 && utf8::Continues(line[end])) --end;
    const std::size_t escape = line.rfind("\\x", end - 1);
    if (escape != std::string::npos && escape + 4 > end) end = escape;
    line.resize(end);
    line += cut;
  }
  return line;
}

void F_Main::RecordRun(RecordKind kind, const std::string& cause) noexcept {
  try {
    RecordFacts facts;
    facts.user = platform_.record.UserNumber();
    facts.cause = cause;
    if (kind == RecordKind::Usage) {
      facts.commandLine = platform_.process.CommandTail();
    } else {
      facts.destination = DestPath;
      // A program that cannot be started is the installed one, whatever the source.
      if (kind != RecordKind::NotStarted) {
        facts.source = SourcePath;
        facts.newVersion = newVersion_;
        facts.note = note_;
      }
      if (kind == RecordKind::Installed && signedVersion_) {
        facts.keyId = signedVersion_->KeyId();
        facts.signedAt = FileStamp{signedVersion_->timestamp.value_or(0)};
      }
    }
    platform_.record.Write(kind, RecordLine(kind, facts));
  } catch (...) {
    // The record is for the administrator; the run goes on without it.
  }
}

}  // namespace quennel
