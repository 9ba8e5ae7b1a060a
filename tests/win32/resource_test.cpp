/// The resources inside quennel.exe: version record and icon.

#include <windows.h>

#include <cstring>

#include <gtest/gtest.h>

#include "tests/win32/Support.h"
#include "window/Icon.h"

namespace quennel {
namespace {

class VersionTest : public testing::Test {
protected:
  void SetUp() override {
    const DWORD size = GetFileVersionInfoSizeW(test::QuennelPath().c_str(), nullptr);
    ASSERT_GT(size, 0u);
    data.resize(size);
    ASSERT_TRUE(GetFileVersionInfoW(test::QuennelPath().c_str(), 0, size, data.data()));
  }

  std::wstring Value(const std::wstring& name) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring key = L"\\StringFileInfo\\040C04B0\\" + name;
    if (!VerQueryValueW(data.data(), key.c_str(), &value, &length) || !value) return L"<absent>";
    return std::wstring(static_cast<const wchar_t*>(value));
  }

  std::vector<char> data;
};

TEST_F(VersionTest, NumbersAreFiveZeroZeroEleven) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00050000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x0000000Bu);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00050000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x0000000Bu);
}

TEST_F(VersionTest, TranslationIsFrenchUnicode) {
  WORD* translation = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                             &length));
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(translation[0], 0x040C);
  EXPECT_EQ(translation[1], 0x04B0);
}

TEST_F(VersionTest, StringsAreSet) {
  EXPECT_EQ(Value(L"FileVersion"), L"5.00.0011");
  EXPECT_EQ(Value(L"ProductVersion"), L"5.00.0011");
  EXPECT_EQ(Value(L"ProductName"), L"Quennel");
  EXPECT_EQ(Value(L"InternalName"), L"Quennel");
  EXPECT_EQ(Value(L"OriginalFilename"), L"Quennel.exe");
  EXPECT_EQ(Value(L"FileDescription"), L"Mise \u00e0 jour automatique de programme");
}

BOOL CALLBACK FirstName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR found) {
  *reinterpret_cast<ULONG_PTR*>(found) = IS_INTRESOURCE(name) ? reinterpret_cast<ULONG_PTR>(name) : 0;
  return FALSE;
}

TEST(IconTest, FirstIconIsTheDesignedPicture) {
  HMODULE module = LoadLibraryExW(test::QuennelPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  ULONG_PTR first = 0;
  EnumResourceNamesW(module, MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */, FirstName, reinterpret_cast<LONG_PTR>(&first));
  EXPECT_EQ(first, 1u);

  HRSRC groupInfo = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));
  ASSERT_NE(groupInfo, nullptr);
  const auto* group = static_cast<const BYTE*>(LockResource(LoadResource(module, groupInfo)));
  // GRPICONDIR: reserved, type, count; then 14-byte entries ending in the icon's id.
  ASSERT_EQ(group[4] | group[5] << 8, 1);
  EXPECT_EQ(group[6], icon::kSize);
  EXPECT_EQ(group[7], icon::kSize);
  const WORD id = static_cast<WORD>(group[6 + 12] | group[6 + 13] << 8);

  HRSRC imageInfo = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3) /* RT_ICON */);
  ASSERT_NE(imageInfo, nullptr);
  const auto* image = static_cast<const BYTE*>(LockResource(LoadResource(module, imageInfo)));
  BITMAPINFOHEADER header;
  std::memcpy(&header, image, sizeof header);
  EXPECT_EQ(header.biWidth, icon::kSize);
  EXPECT_EQ(header.biHeight, 2 * icon::kSize);
  ASSERT_EQ(header.biBitCount, 4);
  ASSERT_EQ(SizeofResource(module, imageInfo), 40u + 64u + 16u * 32u + 4u * 32u);

  const BYTE* palette = image + header.biSize;
  for (int k = 0; k < 16; ++k) {
    const std::uint32_t rgb = palette[4 * k + 2] << 16 | palette[4 * k + 1] << 8 | palette[4 * k];
    EXPECT_EQ(rgb, icon::kPalette[k]) << "colour " << k;
  }
  const BYTE* bits = palette + 64;
  int wrong = 0;
  for (int y = 0; y < icon::kSize; ++y) {
    const BYTE* row = bits + 16 * (icon::kSize - 1 - y);  // bottom-up
    for (int x = 0; x < icon::kSize; ++x) {
      const int index = x % 2 == 0 ? row[x / 2] >> 4 : row[x / 2] & 0xF;
      wrong += index != icon::IndexAt(x, y);
    }
  }
  EXPECT_EQ(wrong, 0);
  const BYTE* mask = bits + 16 * icon::kSize;
  int opaque = 0;
  for (int k = 0; k < 4 * icon::kSize; ++k) opaque += mask[k] == 0;
  EXPECT_EQ(opaque, 4 * icon::kSize);
  FreeLibrary(module);
}

}  // namespace
}  // namespace quennel
