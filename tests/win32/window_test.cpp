/// The progress window on a real desktop (skipped where there is none).

#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include "platform/win32/Text.h"
#include "platform/win32/Win32Platform.h"
#include "window/Design.h"

namespace quennel::win32 {
namespace {

class WindowTest : public testing::Test {
protected:
  /// One window for the suite: showing one takes seconds under wine.
  static void SetUpTestSuite() {
    platform = new Win32Platform;
    platform->SetPointer(PointerShape::Busy);
    platform->SetLabelText(0, "Installation de la nouvelle version de C:\\Programme \xC3\xA9.exe");
    platform->SetLabelText(1, "(Copie de C:\\nouveau.exe dans C:\\Programme \xC3\xA9.exe)");
    platform->ShowProgressWindow();
  }
  static void TearDownTestSuite() {
    delete platform;
    platform = nullptr;
  }

  void SetUp() override {
    window = platform->Window().Handle();
    if (!window) GTEST_SKIP() << "no desktop to show the window on";
    platform->PumpEvents();
  }

  static int Scaled(int twips) { return MulDiv(design::Pixels(twips), platform->Window().Dpi(), 96); }

  static Win32Platform* platform;
  HWND window = nullptr;
};

Win32Platform* WindowTest::platform = nullptr;

TEST_F(WindowTest, HasTheDesignedCaptionAndClientSize) {
  EXPECT_TRUE(IsWindowVisible(window));
  wchar_t caption[256];
  GetWindowTextW(window, caption, 256);
  EXPECT_EQ(Utf8(caption), design::kCaption);
  RECT client;
  ASSERT_TRUE(GetClientRect(window, &client));
  EXPECT_EQ(client.right - client.left, Scaled(design::kClientWidth));
  EXPECT_EQ(client.bottom - client.top, Scaled(design::kClientHeight));
}

TEST_F(WindowTest, KeepsItsLabels) {
  EXPECT_EQ(platform->Window().Label(0), L"Installation de la nouvelle version de C:\\Programme \u00e9.exe");
  EXPECT_EQ(platform->Window().Label(1), L"(Copie de C:\\nouveau.exe dans C:\\Programme \u00e9.exe)");
}

TEST_F(WindowTest, IgnoresClose) {
  SendMessageW(window, WM_CLOSE, 0, 0);
  platform->PumpEvents();
  EXPECT_TRUE(IsWindow(window));
  EXPECT_EQ(platform->Window().Handle(), window);
}

TEST_F(WindowTest, PaintsRedTextOnGrey) {
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  HDC dc = GetDC(window);
  EXPECT_EQ(GetPixel(dc, 2, 2), RGB(192, 192, 192));
  int red = 0;
  const int top = Scaled(design::kLabels[0].top);
  for (int y = top; y < top + Scaled(design::kLabels[0].height); ++y)
    for (int x = Scaled(design::kLabels[0].left); x < Scaled(design::kLabels[0].left) + 200; ++x)
      red += GetPixel(dc, x, y) == RGB(255, 0, 0);
  ReleaseDC(window, dc);
  EXPECT_GT(red, 20);
}

TEST_F(WindowTest, CopysBarUnderTheLabelsOnceTold) {
  EXPECT_EQ(FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr), nullptr);
  platform->ShowCopyProgress(0.42);
  platform->PumpEvents();
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

  platform->ShowCopyProgress(1.0);
  platform->ShowCopyProgress(-1.0);  // nonsense leaves the bar as it was
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
