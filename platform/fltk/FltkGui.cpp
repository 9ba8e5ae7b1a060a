/// The window module: the progress window, message boxes, beep and pointer,
/// drawn with FLTK 1.3 on X11. The POSIX backend loads it with dlopen, so the
/// program itself links no GUI library.

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Window.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <chrono>
#include <string>

#include "platform/fltk/FltkInternal.h"
#include "platform/posix/GuiModule.h"
#include "window/Design.h"
#include "window/Icon.h"

namespace quennel::fltk {
namespace {

namespace design = quennel::design;

constexpr int kLabelFont = FL_HELVETICA_BOLD;
/// 8.25 points at 96 dots per inch.
constexpr int kLabelSize = 11;

/// A label drawn exactly in its box (FLTK otherwise insets left-aligned
/// labels by 3 pixels), over whatever the window painted behind it.
class LabelBox : public Fl_Box {
public:
  LabelBox(const design::LabelBox& at)
      : Fl_Box(design::Pixels(at.left), design::Pixels(at.top), design::Pixels(at.width),
               design::Pixels(at.height)) {
    box(FL_NO_BOX);
    labelfont(kLabelFont);
    labelsize(kLabelSize);
    labelcolor(fl_rgb_color(design::kLabelText.red, design::kLabelText.green, design::kLabelText.blue));
    align(FL_ALIGN_INSIDE | FL_ALIGN_TOP | FL_ALIGN_LEFT | FL_ALIGN_WRAP | FL_ALIGN_CLIP);
  }

  void Text(const std::string& text) {
    copy_label(EscapeLabel(WrapText(text, kLabelFont, kLabelSize, w())).c_str());
    // No box of its own: the window repaints the grey behind the old text.
    if (window()) window()->damage(FL_DAMAGE_ALL, x(), y(), w(), h());
  }

protected:
  void draw() override { draw_label(x(), y(), w(), h()); }
};

/// The icon's pixels as RGB, built once from the palette indices.
const Fl_RGB_Image& IconImage() {
  static std::array<unsigned char, icon::kSize * icon::kSize * 3> pixels = [] {
    std::array<unsigned char, icon::kSize * icon::kSize * 3> rgb{};
    for (int y = 0; y < icon::kSize; ++y) {
      for (int x = 0; x < icon::kSize; ++x) {
        const std::uint32_t c = icon::ColourAt(x, y);
        unsigned char* p = &rgb[(y * icon::kSize + x) * 3];
        p[0] = static_cast<unsigned char>(c >> 16);
        p[1] = static_cast<unsigned char>(c >> 8);
        p[2] = static_cast<unsigned char>(c);
      }
    }
    return rgb;
  }();
  static const Fl_RGB_Image image(pixels.data(), icon::kSize, icon::kSize, 3);
  return image;
}

class ProgressWindow : public Fl_Window {
public:
  ProgressWindow()
      : Fl_Window(design::Pixels(design::kClientLeft), design::Pixels(design::kClientTop),
                  design::Pixels(design::kClientWidth), design::Pixels(design::kClientHeight)),
        labels_{new LabelBox(design::kLabels[0]), new LabelBox(design::kLabels[1])},
        bar_(new Fl_Progress(design::Pixels(design::kProgressBar.left), design::Pixels(design::kProgressBar.top),
                             design::Pixels(design::kProgressBar.width),
                             design::Pixels(design::kProgressBar.height))) {
    end();
    // Hidden until a copy has run long enough to need it.
    bar_->hide();
    bar_->box(FL_THIN_DOWN_BOX);
    bar_->selection_color(FL_SELECTION_COLOR);
    bar_->minimum(0);
    bar_->maximum(1);
    copy_label(design::kCaption);
    xclass("quennel");
    box(FL_FLAT_BOX);
    color(fl_rgb_color(design::kBackground.red, design::kBackground.green, design::kBackground.blue));
    icon(&IconImage());
    // A replacement is running: closing the window would only hide progress.
    callback([](Fl_Widget*, void*) {});
    size_range(w(), h(), w(), h());
  }

  void Text(int index, const std::string& text) { labels_[index]->Text(text); }

  void Fill(double fraction) {
    bar_->value(static_cast<float>(fraction));
    bar_->show();
  }
  /// Back as designed, for a window shown again after close().
  void Reset() { bar_->hide(); }

private:
  std::array<LabelBox*, 2> labels_;
  Fl_Progress* bar_;
};

/// Process-wide state: one display connection, kept for the process's life.
/// FLTK 1.3 keeps per-connection objects in private statics (the drawing GC,
/// the Xft draw target, the input method), so a second connection in the
/// same process would be drawn through the first, freed one. close() hides
/// the windows and leaves the socket close-on-exec instead.
struct State {
  Display* display = nullptr;
  bool active = false;  // between open() and close()
  bool lost = false;    // the connection broke, or its socket was closed
  dev_t socketDevice = 0;
  ino_t socketInode = 0;
  ProgressWindow* progress = nullptr;
  std::array<std::string, 2> texts{design::kLabels[0].designText, design::kLabels[1].designText};
  int pointer = QUENNEL_POINTER_DEFAULT;
};

State& S() {
  static State state;
  return state;
}

bool Usable() { return S().active && !S().lost; }

int IgnoreXError(Display*, XErrorEvent*) { return 0; }

int NoteIoError(Display*) {
  S().lost = true;
  return 0;
}

/// Xlib would exit the process here; an update must never be cut short by
/// the display going away, so carry on without a window instead.
void StayAlive(Display*, void*) { S().lost = true; }

/// The socket Xlib talks on is still the one it opened (nobody closed it
/// or reused its number since).
bool SameSocket() {
  struct stat st {};
  return fstat(ConnectionNumber(S().display), &st) == 0 && S_ISSOCK(st.st_mode) &&
         st.st_dev == S().socketDevice && st.st_ino == S().socketInode;
}

ProgressWindow& Progress() {
  State& s = S();
  if (!s.progress) {
    s.progress = new ProgressWindow;
    for (int i = 0; i < 2; ++i) s.progress->Text(i, s.texts[i]);
  }
  return *s.progress;
}

void ApplyPointer(Fl_Window& window) {
  if (window.shown()) window.cursor(S().pointer == QUENNEL_POINTER_BUSY ? FL_CURSOR_WAIT : FL_CURSOR_DEFAULT);
}

/// Waits (briefly) until the window manager has mapped the window, then
/// paints it, so the window is complete when show_window returns.
void PaintNow(Fl_Window& window) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!S().lost && std::chrono::steady_clock::now() < deadline) {
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(fl_display, fl_xid(&window), &attributes) && attributes.map_state == IsViewable) {
      break;
    }
    Fl::wait(0.01);
  }
  if (S().lost) return;
  XSync(fl_display, False);
  Fl::check();
  Fl::flush();
  XFlush(fl_display);
}

// --- The table's entries -------------------------------------------------

int Open() {
  State& s = S();
  if (s.lost) return 0;
  if (s.active) return 1;
  if (s.display) {
    // Reopened after close(): the parked connection serves again, if its
    // socket survived whatever ran in between.
    if (!SameSocket()) {
      s.lost = true;
      return 0;
    }
    s.active = true;
    return 1;
  }
  // fl_open_display() would end the process when there is no display.
  Display* display = XOpenDisplay(nullptr);
  if (!display) return 0;
  XSetErrorHandler(IgnoreXError);
  XSetIOErrorHandler(NoteIoError);
  XSetIOErrorExitHandler(display, StayAlive, nullptr);
  const int fd = ConnectionNumber(display);
  // The program started next must not inherit the connection: a socket we
  // cannot mark, or cannot recognise again later, is not used at all.
  const int flags = fcntl(fd, F_GETFD);
  struct stat st {};
  if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0 || fstat(fd, &st) != 0) {
    XCloseDisplay(display);
    return 0;
  }
  s.socketDevice = st.st_dev;
  s.socketInode = st.st_ino;
  s.display = display;
  fl_open_display(display);
  s.active = true;
  return 1;
}

void Pump() {
  if (Usable()) Fl::check();
}

void SetLabel(int index, const char* text) {
  if (index < 0 || index > 1 || !text) return;
  State& s = S();
  s.texts[index] = text;
  if (!Usable()) return;
  Progress().Text(index, s.texts[index]);
  if (s.progress->shown()) Fl::flush();
}

void ShowWindow() {
  if (!Usable()) return;
  ProgressWindow& window = Progress();
  const bool wasShown = window.shown();
  window.show();
  ApplyPointer(window);
  if (!wasShown) PaintNow(window);
  else Fl::flush();
}

int Message(const char* text, int style, const char* title) {
  if (!Usable()) return 0;
  Fl_Window* above = S().progress && S().progress->shown() ? S().progress : nullptr;
  return ShowMessageBox(text ? text : "", style, title ? title : "", above, S().pointer == QUENNEL_POINTER_BUSY) ? 1 : 0;
}

void Beep() {
  if (!Usable()) return;
  fl_beep(FL_BEEP_DEFAULT);
  XFlush(fl_display);
}

void Pointer(int shape) {
  State& s = S();
  s.pointer = shape;
  if (!Usable()) return;
  if (s.progress) ApplyPointer(*s.progress);
  XFlush(fl_display);
}

void ShowProgress(double fraction) {
  if (!Usable() || !(fraction >= 0 && fraction <= 1)) return;
  Progress().Fill(fraction);
  if (S().progress->shown()) Fl::flush();
}

void Close() {
  State& s = S();
  if (!s.active) return;
  s.active = false;
  s.pointer = QUENNEL_POINTER_DEFAULT;
  if (s.lost) return;
  if (s.progress) {
    s.progress->Reset();
    s.progress->hide();
  }
  // Make the server take the window down before the next program starts.
  XSync(s.display, False);
}

}  // namespace

bool ConnectionLost() { return S().lost; }

}  // namespace quennel::fltk

extern "C" __attribute__((visibility("default"))) const QuennelGui* quennel_gui(void) {
  namespace f = quennel::fltk;
  static const QuennelGui table{
      QUENNEL_GUI_VERSION, f::Open, f::Pump, f::SetLabel, f::ShowWindow, f::Message, f::Beep, f::Pointer, f::Close,
      f::ShowProgress,
  };
  return &table;
}
