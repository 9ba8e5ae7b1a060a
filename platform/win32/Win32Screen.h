#pragma once
/// The screen on Windows: the native progress window, message boxes, the
/// system's beep and pointer.

#include "platform/Screen.h"
#include "platform/win32/ProgressWindow.h"

namespace quennel::win32 {

class Win32Screen : public Screen {
public:
  void PumpEvents() override;
  void ShowMessage(const std::string& text, MessageStyle style, const std::optional<std::string>& title) override;
  void SetLabelText(int index, const std::string& text) override;
  void ShowProgressWindow() override;
  void ShowCopyProgress(double fraction) noexcept override;
  void ShowNotice(const std::string& text) override;
  void PlayBeep() override;
  void SetPointer(PointerShape shape) override;

private:
  /// The progress window when it is on screen, to own the message boxes.
  HWND Owner() const;

  ProgressWindow window_;
};

/// Dispatches this thread's pending window messages.
void PumpMessages();

}  // namespace quennel::win32
