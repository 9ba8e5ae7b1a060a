#include "platform/posix/PosixScreen.h"

#include "platform/posix/GuiModule.h"
#include "update/Texts.h"

namespace quennel {

void PosixScreen::PumpEvents() { gui_.Pump(); }

void PosixScreen::ShowMessage(const std::string& text, MessageStyle style, const std::optional<std::string>& title) {
  // The module draws two icons; a critical box takes the warning one.
  const int icon = style == MessageStyle::Information ? QUENNEL_STYLE_INFORMATION : QUENNEL_STYLE_WARNING;
  gui_.Message(text, icon, title.value_or(texts::kProgramTitle));
}

void PosixScreen::SetLabelText(int index, const std::string& text) { gui_.SetLabel(index, text); }

void PosixScreen::ShowProgressWindow() { gui_.ShowWindow(); }

void PosixScreen::ShowCopyProgress(double fraction) noexcept {
  try {
    gui_.Progress(fraction);
  } catch (...) {
    // Only the progress is lost (out of memory for a line of text).
  }
}

void PosixScreen::ShowNotice(const std::string& text) { gui_.Notice(text); }

void PosixScreen::PlayBeep() { gui_.Beep(); }

void PosixScreen::SetPointer(PointerShape shape) {
  gui_.Pointer(shape == PointerShape::Busy ? QUENNEL_POINTER_BUSY : QUENNEL_POINTER_DEFAULT);
}

}  // namespace quennel
