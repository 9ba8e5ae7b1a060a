#pragma once
/// The progress window drawn natively from window/Design.h: grey client
/// area, two red bold labels, the program's icon. Nothing is registered or
/// created before the first Show, so a run without an update opens no window.

#include <windows.h>

#include <array>
#include <string>

namespace quennel::win32 {

class ProgressWindow {
public:
  ProgressWindow() = default;
  ~ProgressWindow();
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;

  void SetLabel(int index, std::wstring text);
  /// Shows the window, creating it on first use; false when no window can
  /// be created (no desktop), which leaves the replacement to go on unseen.
  bool Show();
  /// The pointer over the window; also set at once.
  void SetCursorShape(HCURSOR cursor);
  /// Fills the copy's bar to `fraction` (0 to 1), creating it under the
  /// labels on first use. Does nothing before the window exists, and
  /// ignores a bar that cannot be created.
  void ShowProgress(double fraction);

  /// The window once created, else null.
  HWND Handle() const { return window_; }

private:
  bool Create();
  RECT LabelRect(int index) const;
  void Paint();
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  HWND window_ = nullptr;
  HWND bar_ = nullptr;
  HFONT font_ = nullptr;
  HBRUSH background_ = nullptr;
  HCURSOR cursor_ = nullptr;
  int dpi_ = 96;
  std::array<std::wstring, 2> texts_;
};

}  // namespace quennel::win32
