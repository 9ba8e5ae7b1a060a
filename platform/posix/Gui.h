#pragma once
/// The window, boxes, beep and pointer on POSIX: the FLTK module when a
/// display can be used, else headless (boxes go to standard error).
/// Nothing is loaded until the first call that needs it.

#include <optional>
#include <string>

struct QuennelGui;

namespace quennel {

class Gui {
public:
  Gui() = default;
  Gui(const Gui&) = delete;
  Gui& operator=(const Gui&) = delete;

  void Pump();
  void SetLabel(int index, const std::string& text);
  void ShowWindow();
  /// `style` and `shape` are the module's QUENNEL_STYLE_ and QUENNEL_POINTER_ codes.
  void Message(const std::string& text, int style, const std::string& title);
  /// Headless, `text` as a line on standard error; nothing in a window.
  void Notice(const std::string& text);
  void Beep();
  void Pointer(int shape);
  /// The copy's progress: the window's bar, else a line on a terminal.
  void Progress(double fraction);
  /// Hides the window before exec; the module keeps its display connection,
  /// close-on-exec, so the started program inherits nothing.
  void Close();

private:
  /// The module, loading it on first use; null when headless.
  const QuennelGui* Module();
  /// Headless: "Mise à jour : N %" rewritten in place on standard error
  /// when it is a terminal; nothing otherwise.
  void ProgressLine(double fraction);
  /// Ends an unfinished progress line, so what follows starts on its own.
  void EndProgressLine();

  bool tried_ = false;
  const QuennelGui* module_ = nullptr;
  bool connected_ = false;
  std::optional<bool> terminal_;
  int percentShown_ = -1;
  bool lineOpen_ = false;
};

}  // namespace quennel
