#include "platform/win32/EventLog.h"

#include <windows.h>
#include <sddl.h>

#include <vector>

#include "Events.h"
#include "platform/win32/Handle.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"

namespace quennel::win32 {
namespace {

constexpr const wchar_t* kSource = L"Quennel";

/// The event number of each kind, as Events.mc numbers them.
DWORD EventId(RecordKind kind) {
  switch (kind) {
    case RecordKind::Installed: return QUENNEL_EVENT_INSTALLED;
    case RecordKind::Failed: return QUENNEL_EVENT_FAILED;
    case RecordKind::Refused: return QUENNEL_EVENT_REFUSED;
    case RecordKind::GaveUp: return QUENNEL_EVENT_GAVE_UP;
    case RecordKind::Usage: return QUENNEL_EVENT_USAGE;
    case RecordKind::NotStarted: return QUENNEL_EVENT_NOT_STARTED;
  }
  return QUENNEL_EVENT_FAILED;
}

/// The process token's TOKEN_USER; throws PlatformError when it cannot be read.
std::vector<BYTE> ProcessUser() {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) ThrowLastError();
  const Handle token(opened);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<BYTE> user(size);
  if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) ThrowLastError();
  return user;
}

PSID SidOf(std::vector<BYTE>& user) { return reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid; }

}  // namespace

void EventLog::Write(RecordKind kind, const std::string& line) noexcept {
  try {
    const std::wstring text = Wide(line);
    const wchar_t* strings[] = {text.c_str()};
    // The Event Viewer's user column too; an event goes without it if need be.
    std::vector<BYTE> user;
    try {
      user = ProcessUser();
    } catch (const PlatformError&) {
    }
    // Registered per line: most runs write none, and a run at most two.
    const HANDLE source = RegisterEventSourceW(nullptr, kSource);
    if (!source) return;
    ReportEventW(source, kind == RecordKind::Installed ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_WARNING_TYPE, 0,
                 EventId(kind), user.empty() ? nullptr : SidOf(user), 1, 0, strings, nullptr);
    DeregisterEventSource(source);
  } catch (...) {
    // Out of memory for a line: only the record is lost.
  }
}

std::string EventLog::UserNumber() {
  std::vector<BYTE> user = ProcessUser();
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(SidOf(user), &text)) ThrowLastError();
  const std::string number = Utf8(text);
  LocalFree(text);
  return number;
}

}  // namespace quennel::win32
