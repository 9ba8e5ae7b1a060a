#pragma once
/// The contract between the POSIX backend and the window module it loads
/// with dlopen on first use. Plain C types only, so the two sides need not
/// share a C++ runtime's layout; the module links FLTK, the program never.

extern "C" {

/// Bump when the table changes; the backend refuses a module of another version.
#define QUENNEL_GUI_VERSION 2

/// Box styles the module draws.
enum { QUENNEL_STYLE_WARNING = 48, QUENNEL_STYLE_INFORMATION = 64 };
/// Pointer shapes the module sets.
enum { QUENNEL_POINTER_DEFAULT = 0, QUENNEL_POINTER_BUSY = 4 };

struct QuennelGui {
  int version;
  /// Connects to the display. Returns 0 when no display can be used.
  int (*open)(void);
  /// Processes pending events, then returns.
  void (*pump)(void);
  /// Sets the text (UTF-8) of label 0 or 1 of the progress window.
  void (*set_label)(int index, const char* text);
  /// Shows the progress window, not modal.
  void (*show_window)(void);
  /// Modal box, one OK button, with a QUENNEL_STYLE_ icon. The
  /// title is never null. "\r\n" in text starts a new line. Returns 0
  /// when the box could not be shown or the display went away before it
  /// was closed (the text then still needs a place to go), else 1.
  int (*message)(const char* text, int style, const char* title);
  /// The default system sound.
  void (*beep)(void);
  /// Pointer shape: a QUENNEL_POINTER_ code.
  void (*pointer)(int shape);
  /// Hides the window (before exec). The display connection stays open,
  /// marked close-on-exec: the started program inherits nothing, and a box
  /// after a failed start can still show.
  void (*close)(void);
  /// Shows the progress window's bar filled to `fraction` (0 to 1).
  void (*progress)(double fraction);
};

/// The module's one exported symbol.
const QuennelGui* quennel_gui(void);
typedef const QuennelGui* (*QuennelGuiEntry)(void);

}
