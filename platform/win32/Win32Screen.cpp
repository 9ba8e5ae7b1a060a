#include "platform/win32/Win32Screen.h"

#include "platform/win32/Text.h"
#include "update/Texts.h"

namespace quennel::win32 {

void PumpMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

void Win32Screen::PumpEvents() { PumpMessages(); }

HWND Win32Screen::Owner() const {
  const HWND window = window_.Handle();
  return window && IsWindowVisible(window) ? window : nullptr;
}

void Win32Screen::ShowMessage(const std::string& text, MessageStyle style, const std::optional<std::string>& title) {
  UINT icon = MB_ICONWARNING;
  switch (style) {
    case MessageStyle::Critical: icon = MB_ICONERROR; break;
    case MessageStyle::Warning: icon = MB_ICONWARNING; break;
    case MessageStyle::Information: icon = MB_ICONINFORMATION; break;
  }
  MessageBoxW(Owner(), Wide(text).c_str(), Wide(title.value_or(texts::kProgramTitle)).c_str(),
              icon | MB_OK | MB_SETFOREGROUND);
}

void Win32Screen::SetLabelText(int index, const std::string& text) { window_.SetLabel(index, Wide(text)); }

void Win32Screen::ShowProgressWindow() {
  // Without a desktop to show it on, the replacement still goes ahead.
  window_.Show();
}

void Win32Screen::ShowCopyProgress(double fraction) noexcept { window_.ShowProgress(fraction); }

void Win32Screen::ShowNotice(const std::string&) {
  // The window is on screen whenever there is something to say.
}

void Win32Screen::PlayBeep() { MessageBeep(MB_OK); }

void Win32Screen::SetPointer(PointerShape shape) {
  window_.SetCursorShape(LoadCursorW(nullptr, shape == PointerShape::Busy ? IDC_WAIT : IDC_ARROW));
}

}  // namespace quennel::win32
