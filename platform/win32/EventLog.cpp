#include "platform/win32/EventLog.h"

#include <windows.h>

#include <vector>

#include "Events.h"
#include "platform/win32/Accounts.h"
#include "platform/win32/Paths.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"

namespace quennel::win32 {
namespace {

constexpr const wchar_t* kSource = L"Quennel";
constexpr const wchar_t* kSourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quennel";

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

}  // namespace

void EventLog::Write(RecordKind kind, const std::string& line) noexcept {
  try {
    const std::wstring text = Wide(line);
    const wchar_t* strings[] = {text.c_str()};
    // The Event Viewer's user column too; an event goes without it if need be.
    std::vector<BYTE> user;
    try {
      user = RunnerSid();
    } catch (const PlatformError&) {
    }
    // Registered per line: most runs write none, and a run at most two.
    const HANDLE source = RegisterEventSourceW(nullptr, kSource);
    if (!source) return;
    ReportEventW(source, kind == RecordKind::Installed ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_WARNING_TYPE, 0,
                 EventId(kind), user.empty() ? nullptr : user.data(), 1, 0, strings, nullptr);
    DeregisterEventSource(source);
  } catch (...) {
    // Out of memory for a line: only the record is lost.
  }
}

std::string EventLog::UserNumber() {
  std::vector<BYTE> user = RunnerSid();
  return Utf8(SidText(user.data()));
}

void RegisterAsEventSource() {
  std::wstring program = ModulePath();
  program.push_back(L'\0');  // the value holds its terminating null

  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_SET_VALUE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) ThrowSystemError(status);
  const DWORD types = EVENTLOG_INFORMATION_TYPE | EVENTLOG_WARNING_TYPE;
  status = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(program.data()),
                          static_cast<DWORD>(program.size() * sizeof(wchar_t)));
  if (status == ERROR_SUCCESS)
    status = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                            sizeof types);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) ThrowSystemError(status);
}

void UnregisterAsEventSource() {
  const LSTATUS status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSourceKey);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) ThrowSystemError(status);
}

}  // namespace quennel::win32
