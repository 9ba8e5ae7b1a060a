#pragma once
/// The system's log, where an administrator sees what each run did.

#include <string>

namespace quennel {

/// What a run did: a new version installed (information), or one that was
/// not, a malformed command line, a program that could not be started
/// (warnings).
enum class RecordKind { Installed, Failed, Refused, GaveUp, Usage, NotStarted };

class Record {
public:
  virtual ~Record() = default;
  /// Sends `line` (one line, no control characters) to the system log at
  /// once, or drops it: a missing, full or stalled log is no failure of the
  /// run and never holds it up.
  virtual void Write(RecordKind kind, const std::string& line) noexcept = 0;
  /// The running user as the system numbers it, found without asking a
  /// directory service (which can block).
  virtual std::string UserNumber() = 0;
};

}  // namespace quennel
