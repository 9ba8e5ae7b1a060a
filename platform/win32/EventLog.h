#pragma once
/// The administrator's record on Windows: an event in the Application log,
/// from the source "Quennel", readable in the Event Viewer once
/// `quennel --register-event-source` has named quennel.exe's message table.

#include <string>

#include "platform/Platform.h"

namespace quennel::win32 {

class EventLog final : public Record {
public:
  void Write(RecordKind kind, const std::string& line) noexcept override;
  /// The user's security identifier, "S-1-5-21-…": Windows' number for a user.
  std::string UserNumber() override;
};

}  // namespace quennel::win32
