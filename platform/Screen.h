#pragma once
/// The screen: the progress window, the boxes, the beep and the pointer.

#include <optional>
#include <string>

namespace quennel {

/// Message box styles; each backend shows them with its own icons.
enum class MessageStyle { Critical, Warning, Information };

/// Pointer shapes over the program's windows: the default one, and the
/// platform's busy pointer.
enum class PointerShape { Default, Busy };

class Screen {
public:
  virtual ~Screen() = default;
  /// Processes pending window events, then returns.
  virtual void PumpEvents() = 0;
  /// Modal box with one OK button; CR LF in `text` starts a new line.
  /// Without a title the program's title shows.
  virtual void ShowMessage(const std::string& text, MessageStyle style,
                           const std::optional<std::string>& title) = 0;
  /// Sets the text of label `index` of the progress window.
  virtual void SetLabelText(int index, const std::string& text) = 0;
  /// Makes the progress window visible, not modal; returns at once.
  virtual void ShowProgressWindow() = 0;
  /// Shows how far a long copy has gone, `fraction` from 0 to 1: the bar
  /// in the progress window, or a line on a terminal when there is no
  /// window. A drawing problem is not the copy's failure: it is dropped.
  virtual void ShowCopyProgress(double fraction) noexcept = 0;
  /// Says what the run is doing, without waiting for an answer: a line on
  /// standard error when there is no window; nothing when the window is on
  /// screen, whose labels already say it.
  virtual void ShowNotice(const std::string& text) = 0;
  /// The default system sound.
  virtual void PlayBeep() = 0;
  /// Pointer shape over the program's windows.
  virtual void SetPointer(PointerShape shape) = 0;
};

}  // namespace quennel
