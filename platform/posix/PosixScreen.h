#pragma once
/// The screen on POSIX: the window module when a display can be used, else
/// standard error.

#include "platform/Screen.h"
#include "platform/posix/Gui.h"

namespace quennel {

class PosixScreen final : public Screen {
public:
  explicit PosixScreen(Gui& gui) : gui_(gui) {}

  void PumpEvents() override;
  void ShowMessage(const std::string& text, MessageStyle style, const std::optional<std::string>& title) override;
  void SetLabelText(int index, const std::string& text) override;
  void ShowProgressWindow() override;
  void ShowCopyProgress(double fraction) noexcept override;
  void ShowNotice(const std::string& text) override;
  void PlayBeep() override;
  void SetPointer(PointerShape shape) override;

private:
  Gui& gui_;
};

}  // namespace quennel
