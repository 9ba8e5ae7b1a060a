/// The modal message box: an icon, the text and one OK button.

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <string>

#include "platform/fltk/FltkInternal.h"
#include "platform/posix/GuiModule.h"
#include "update/LineBreaks.h"

namespace quennel::fltk {
namespace {

constexpr int kTextFont = FL_HELVETICA;
constexpr int kTextSize = 14;
/// Long text wraps at this width; the box never grows wider than it needs.
constexpr int kMaxTextWidth = 440;
constexpr int kMargin = 12;
constexpr int kIconSize = 32;
constexpr int kButtonWidth = 84;
constexpr int kButtonHeight = 26;
constexpr int kMinWidth = 220;

/// A blue disc with an "i" for information, a yellow triangle with "!"
/// for a warning: drawn, so no image files need to ship.
class MessageIcon : public Fl_Widget {
public:
  MessageIcon(int x, int y, int style) : Fl_Widget(x, y, kIconSize, kIconSize), information_(style == QUENNEL_STYLE_INFORMATION) {}

protected:
  void draw() override {
    if (information_) {
      fl_color(fl_rgb_color(0, 0, 255));
      fl_pie(x(), y(), w(), h(), 0, 360);
      fl_color(FL_WHITE);
      fl_font(FL_TIMES_BOLD, 24);
      fl_draw("i", x(), y(), w(), h(), FL_ALIGN_CENTER);
    } else {
      fl_color(fl_rgb_color(255, 255, 0));
      fl_polygon(x() + w() / 2, y() + 1, x() + w() - 1, y() + h() - 2, x(), y() + h() - 2);
      fl_color(FL_BLACK);
      fl_loop(x() + w() / 2, y() + 1, x() + w() - 1, y() + h() - 2, x(), y() + h() - 2);
      fl_font(FL_HELVETICA_BOLD, 20);
      fl_draw("!", x(), y() + 6, w(), h() - 8, FL_ALIGN_CENTER);
    }
  }

private:
  bool information_;
};

void CloseBox(Fl_Widget* widget, void*) {
  Fl_Window* box = widget->as_window() ? widget->as_window() : widget->window();
  box->hide();
}

/// Where the box goes: centred on the screen that holds the progress window
/// (or the first screen), in its work area.
void Centre(Fl_Window& box, Fl_Window* above) {
  const int screen = above ? Fl::screen_num(above->x(), above->y(), above->w(), above->h()) : 0;
  int x = 0, y = 0, w = 0, h = 0;
  Fl::screen_work_area(x, y, w, h, screen);
  box.position(x + std::max(0, (w - box.w()) / 2), y + std::max(0, (h - box.h()) / 2));
}

}  // namespace

bool ShowMessageBox(const char* text, int style, const char* title, Fl_Window* above, bool busy) {
  // Keys already typed at the progress window are its own: once the box is
  // modal they would go to the box, and an early Escape would close it unseen.
  Fl::check();
  if (ConnectionLost()) return false;
  std::string body = PlainLineBreaks(text);
  fl_font(kTextFont, kTextSize);
  int textW = 0, textH = 0;
  fl_measure(EscapeLabel(body).c_str(), textW, textH);
  if (textW > kMaxTextWidth) body = WrapText(body, kTextFont, kTextSize, kMaxTextWidth);
  const std::string shown = EscapeLabel(body);
  textW = textH = 0;
  fl_font(kTextFont, kTextSize);
  fl_measure(shown.c_str(), textW, textH);
  textW = std::min(textW, kMaxTextWidth);

  const int textX = kMargin + kIconSize + kMargin;
  const int width = std::max(kMinWidth, textX + textW + kMargin);
  const int textY = kMargin + std::max(0, (kIconSize - textH) / 2);
  const int buttonY = std::max(kMargin + kIconSize, textY + textH) + kMargin;
  const int height = buttonY + kButtonHeight + kMargin;

  // On the heap: if the display goes away while it is up, it is left alone.
  auto* box = new Fl_Window(width, height);
  box->copy_label(title);
  box->xclass("quennel");
  new MessageIcon(kMargin, kMargin, style);
  auto* label = new Fl_Box(textX, textY, textW, textH);
  label->box(FL_NO_BOX);
  label->labelfont(kTextFont);
  label->labelsize(kTextSize);
  label->align(FL_ALIGN_INSIDE | FL_ALIGN_TOP_LEFT | FL_ALIGN_WRAP);
  label->copy_label(shown.c_str());
  // FLTK insets a left-aligned label by 3 pixels each side; give it room.
  label->resize(textX - 3, textY, textW + 6, textH);
  auto* ok = new Fl_Return_Button((width - kButtonWidth) / 2, buttonY, kButtonWidth, kButtonHeight, "OK");
  ok->callback(CloseBox);
  box->end();
  // Escape and the window manager's close button close it too.
  box->callback(CloseBox);
  box->set_modal();
  Centre(*box, above);

  box->show();
  ok->take_focus();
  if (busy) box->cursor(FL_CURSOR_WAIT);
  while (box->shown() && !ConnectionLost()) Fl::wait();
  if (ConnectionLost()) return false;
  delete box;
  Fl::flush();
  return true;
}

}  // namespace quennel::fltk
