#pragma once
/// The administrator's record on Windows: an event in the Application log,
/// from the source "Quennel", readable in the Event Viewer once
/// `quennel --register-event-source` has named quennel.exe's message table.

#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace quennel::win32 {

class EventLog final : public Record {
public:
  void Write(RecordKind kind, const std::string& line) noexcept override;
  /// The user's security identifier, "S-1-5-21-…": Windows' number for a user.
  std::string UserNumber() override;
};

/// The options that ask for the registration and its removal, alone.
inline constexpr std::string_view kRegisterOption = "--register-event-source";
inline constexpr std::string_view kUnregisterOption = "--unregister-event-source";

/// Writes the registry entry of the event source (an administrator's
/// right): the message table in the running program's file, and the kinds
/// of events it reports. Throws PlatformError when the system refuses.
void RegisterAsEventSource();
/// Removes that entry; nothing to do where there is none. Throws
/// PlatformError when the system refuses.
void UnregisterAsEventSource();

}  // namespace quennel::win32
