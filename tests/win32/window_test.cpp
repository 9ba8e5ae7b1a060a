/// The progress window on a real desktop (skipped where there is none),
/// seen through the system as a user's tools would see it.

#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include "platform/win32/Text.h"
#include "platform/win32/Win32Screen.h"
#include "window/Design.h"

namespace quennel::win32 {
namespace {

/// This thread's visible top-level window, as a user would see it; else null.
HWND ShownWindow() {
  HWND found = nullptr;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND window, LPARAM result) {
        if (!IsWindowVisible(window)) return TRUE;
        *reinterpret_cast<HWND*>(result) = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

class WindowTest : public testing::Test {
protected:
  /// One window for the suite: showing one takes seconds under wine. Its
  /// labels stay empty until a test gives them their texts.
  static void SetUpTestSuite() {
    screen = new Win32Screen;
    screen->SetPointer(PointerShape::Busy);
    screen->SetLabelText(0, "");
    shownUnasked = ShownWindow() != nullptr;
    screen->ShowProgressWindow();
  }
  static void TearDownTestSuite() {
    delete screen;
    screen = nullptr;
  }

  void SetUp() override {
    window = ShownWindow();
    if (!window) GTEST_SKIP() << "no desktop to show the window on";
    screen->PumpEvents();
  }

  /// Design twips at the screen's resolution.
  static int Scaled(int twips) {
    HDC display = GetDC(nullptr);
    const int dpi = GetDeviceCaps(display, LOGPIXELSY);
    ReleaseDC(nullptr, display);
    return MulDiv(design::Pixels(twips), dpi, 96);
  }

  /// Red pixels in the first 200 columns of label `index`'s box, freshly painted.
  int RedIn(int index) const {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    const design::LabelBox& box = design::kLabels[index];
    HDC dc = GetDC(window);
    int red = 0;
    for (int y = Scaled(box.top); y < Scaled(box.top) + Scaled(box.height); ++y)
      for (int x = Scaled(box.left); x < Scaled(box.left) + 200; ++x) red += GetPixel(dc, x, y) == RGB(255, 0, 0);
    ReleaseDC(window, dc);
    return red;
  }

  static Win32Screen* screen;
  static bool shownUnasked;  // a window before ShowProgressWindow
  HWND window = nullptr;
};

Win32Screen* WindowTest::screen = nullptr;
bool WindowTest::shownUnasked = false;

TEST_F(WindowTest, HasTheDesignedCaptionAndClientSizeOnceAsked) {
  EXPECT_FALSE(shownUnasked);
  wchar_t caption[256];
  GetWindowTextW(window, caption, 256);
  EXPECT_EQ(Utf8(caption), design::kCaption);
  RECT client;
  ASSERT_TRUE(GetClientRect(window, &client));
  EXPECT_EQ(client.right - client.left, Scaled(design::kClientWidth));
  EXPECT_EQ(client.bottom - client.top, Scaled(design::kClientHeight));
}

TEST_F(WindowTest, PaintsEachLabelInRedOnGrey) {
  EXPECT_EQ(RedIn(0), 0);
  EXPECT_EQ(RedIn(1), 0);
  screen->SetLabelText(0, "Installation de la nouvelle version de C:\\Programme \xC3\xA9.exe");
  screen->SetLabelText(1, "(Copie de C:\\nouveau.exe dans C:\\Programme \xC3\xA9.exe)");
  screen->PumpEvents();
  EXPECT_GT(RedIn(0), 20);
  EXPECT_GT(RedIn(1), 20);
  HDC dc = GetDC(window);
  EXPECT_EQ(GetPixel(dc, 2, 2), RGB(192, 192, 192));
  ReleaseDC(window, dc);
}

TEST_F(WindowTest, IgnoresClose) {
  SendMessageW(window, WM_CLOSE, 0, 0);
  screen->PumpEvents();
  EXPECT_TRUE(IsWindow(window));
  EXPECT_EQ(ShownWindow(), window);
}

TEST_F(WindowTest, CopysBarUnderTheLabelsOnceTold) {
  EXPECT_EQ(FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr), nullptr);
  screen->ShowCopyProgress(0.42);
  screen->PumpEvents();
  const HWND bar = FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr);
  ASSERT_NE(bar, nullptr);
  EXPECT_TRUE(IsWindowVisible(bar));
  EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 420);

  RECT box;
  ASSERT_TRUE(GetWindowRect(bar, &box));
  MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&box), 2);
  EXPECT_EQ(box.left, Scaled(design::kProgressBar.left));
  EXPECT_EQ(box.right, Scaled(design::kProgressBar.left) + Scaled(design::kProgressBar.width));
  EXPECT_GE(box.top, Scaled(design::kLabels[1].top + design::kLabels[1].height));
  EXPECT_LE(box.bottom, Scaled(design::kClientHeight));

  screen->ShowCopyProgress(1.0);
  screen->ShowCopyProgress(-1.0);  // nonsense leaves the bar as it was
  EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 1000);
  RECT client;
  ASSERT_TRUE(GetClientRect(window, &client));
  EXPECT_EQ(client.bottom, Scaled(design::kClientHeight));
  HDC dc = GetDC(window);
  EXPECT_EQ(GetPixel(dc, 2, 2), RGB(192, 192, 192));
  ReleaseDC(window, dc);
}

}  // namespace
}  // namespace quennel::win32
