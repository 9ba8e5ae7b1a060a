#pragma once
/// Pieces the window module's sources share. FLTK stays out of this header:
/// only the module's .cpp files include it.

#include <string>
#include <string_view>

class Fl_Window;

namespace quennel::fltk {

/// Breaks `text` into lines no wider than `width` pixels in the given FLTK
/// font: at spaces first, then after a slash or backslash, then between
/// characters, so a long path still fits. Existing line breaks stay.
/// The display must be open (fonts are measured on it).
std::string WrapText(std::string_view text, int font, int size, int width);

/// FLTK reads '@' in labels as a symbol; doubling it shows it as typed.
std::string EscapeLabel(std::string_view text);

/// True once the display connection has broken; nothing may use it then.
bool ConnectionLost();

/// The modal box: blocks until OK, Return or Escape closes it. `above` is
/// the progress window when it is shown (the box then stays in front of it).
/// False when the display went away before the box was closed.
bool ShowMessageBox(const char* text, int style, const char* title, Fl_Window* above, bool busy);

}  // namespace quennel::fltk
