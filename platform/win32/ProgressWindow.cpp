#include "platform/win32/ProgressWindow.h"

#include <commctrl.h>

#include "platform/win32/Text.h"
#include "window/Design.h"

namespace quennel::win32 {
namespace {

constexpr wchar_t kClassName[] = L"QuennelProgress";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kExStyle = 0;

COLORREF Colour(design::Rgb rgb) { return RGB(rgb.red, rgb.green, rgb.blue); }

/// The bar's range: tenths of a percent.
constexpr int kBarSteps = 1000;

/// Design pixels (96 dpi) at the display's resolution.
int Scale(int pixels, int dpi) { return MulDiv(pixels, dpi, 96); }

int ScreenDpi() {
  HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

HICON ProgramIcon(HINSTANCE instance, int metricX, int metricY) {
  return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                       GetSystemMetrics(metricX), GetSystemMetrics(metricY), 0));
}

}  // namespace

ProgressWindow::~ProgressWindow() {
  if (window_) DestroyWindow(window_);
  if (font_) DeleteObject(font_);
}

void ProgressWindow::SetLabel(int index, std::wstring text) {
  texts_.at(index) = std::move(text);
  if (window_) {
    const RECT box = LabelRect(index);
    InvalidateRect(window_, &box, TRUE);
  }
}

bool ProgressWindow::Show() {
  if (!window_ && !Create()) return false;
  ShowWindow(window_, SW_SHOWNORMAL);
  UpdateWindow(window_);
  return true;
}

void ProgressWindow::SetCursorShape(HCURSOR cursor) {
  cursor_ = cursor;
  SetCursor(cursor);
  if (window_) SetClassLongPtrW(window_, GCLP_HCURSOR, reinterpret_cast<LONG_PTR>(cursor));
}

void ProgressWindow::ShowProgress(double fraction) {
  if (!window_ || !(fraction >= 0 && fraction <= 1)) return;
  if (!bar_) {
    const INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    const design::Box& box = design::kProgressBar;
    const int left = Scale(design::Pixels(box.left), dpi_);
    const int top = Scale(design::Pixels(box.top), dpi_);
    bar_ = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, left, top,
                           Scale(design::Pixels(box.width), dpi_), Scale(design::Pixels(box.height), dpi_),
                           window_, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!bar_) return;
    SendMessageW(bar_, PBM_SETRANGE32, 0, kBarSteps);
  }
  SendMessageW(bar_, PBM_SETPOS, static_cast<WPARAM>(fraction * kBarSteps + 0.5), 0);
  UpdateWindow(bar_);
}

bool ProgressWindow::Create() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  if (!background_) {
    // The class outlives this object; it and its brush are registered once.
    background_ = CreateSolidBrush(Colour(design::kBackground));
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = ProgramIcon(instance, SM_CXICON, SM_CYICON);
    windowClass.hIconSm = ProgramIcon(instance, SM_CXSMICON, SM_CYSMICON);
    windowClass.hCursor = cursor_ ? cursor_ : LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = background_;
    windowClass.lpszClassName = kClassName;
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  }

  dpi_ = ScreenDpi();
  // Made again after a window that could not be created: the first font goes.
  if (font_) DeleteObject(font_);
  // A point is 1/72 inch: 8.25 pt is 825/7200 of an inch.
  font_ = CreateFontW(-MulDiv(static_cast<int>(design::kFontPoints * 100 + 0.5), dpi_, 7200), 0, 0, 0,
                      design::kFontWeight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                      CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS,
                      Wide(design::kFontFace).c_str());

  const int left = Scale(design::Pixels(design::kClientLeft), dpi_);
  const int top = Scale(design::Pixels(design::kClientTop), dpi_);
  RECT frame{left, top, left + Scale(design::Pixels(design::kClientWidth), dpi_),
             top + Scale(design::Pixels(design::kClientHeight), dpi_)};
  AdjustWindowRectEx(&frame, kStyle, FALSE, kExStyle);
  window_ = CreateWindowExW(kExStyle, kClassName, Wide(design::kCaption).c_str(), kStyle,
                            frame.left > 0 ? frame.left : 0, frame.top > 0 ? frame.top : 0,
                            frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                            instance, this);
  return window_ != nullptr;
}

RECT ProgressWindow::LabelRect(int index) const {
  const design::LabelBox& box = design::kLabels.at(index);
  const int left = Scale(design::Pixels(box.left), dpi_);
  const int top = Scale(design::Pixels(box.top), dpi_);
  return RECT{left, top, left + Scale(design::Pixels(box.width), dpi_),
              top + Scale(design::Pixels(box.height), dpi_)};
}

void ProgressWindow::Paint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window_, &paint);
  const HGDIOBJ oldFont = SelectObject(dc, font_ ? font_ : GetStockObject(DEFAULT_GUI_FONT));
  SetTextColor(dc, Colour(design::kLabelText));
  SetBkMode(dc, TRANSPARENT);
  for (int index = 0; index < static_cast<int>(texts_.size()); ++index) {
    RECT box = LabelRect(index);
    // Long paths without spaces still wrap inside the box, like the labels'.
    DrawTextW(dc, texts_[index].c_str(), static_cast<int>(texts_[index].size()), &box,
              DT_LEFT | DT_TOP | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX);
  }
  SelectObject(dc, oldFont);
  EndPaint(window_, &paint);
}

LRESULT CALLBACK ProgressWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    static_cast<ProgressWindow*>(create->lpCreateParams)->window_ = window;
  }
  auto* self = reinterpret_cast<ProgressWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_PAINT:
      if (self) {
        self->Paint();
        return 0;
      }
      break;
    case WM_SETCURSOR:
      if (self && self->cursor_ && LOWORD(lParam) == HTCLIENT) {
        SetCursor(self->cursor_);
        return TRUE;
      }
      break;
    case WM_CLOSE:
      // Closing mid-replacement would leave the user guessing; the window
      // goes away with the process once the program has started.
      return 0;
    case WM_NCDESTROY:
      if (self) self->window_ = self->bar_ = nullptr;
      break;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace quennel::win32
