#include <windows.h>

#include <gtest/gtest.h>

#include "platform/win32/SystemError.h"
#include "platform/win32/Win32Platform.h"
#include "tests/win32/Support.h"

namespace quennel::win32 {
namespace {

class SystemTextTest : public testing::TestWithParam<DWORD> {};

TEST_P(SystemTextTest, IsOneLineWithoutTrailingBreak) {
  const std::string text = SystemText(GetParam());
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), '\n');
  EXPECT_NE(text.back(), '\r');
  EXPECT_NE(text.back(), ' ');
}

INSTANTIATE_TEST_SUITE_P(Codes, SystemTextTest,
                         testing::Values(ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED,
                                         ERROR_SHARING_VIOLATION, ERROR_DISK_FULL, 0x2FFFFFFFul));

TEST(SystemTextTest, DiffersBetweenFailures) {
  EXPECT_NE(SystemText(ERROR_FILE_NOT_FOUND), SystemText(ERROR_ACCESS_DENIED));
}

TEST(SystemTextTest, NamesAnUnknownCode) { EXPECT_EQ(SystemText(0x2FFFFFFF), "Erreur système 805306367."); }

TEST(FileQueryTest, MissingFileThrowsTheSystemText) {
  test::TempFolder folder;
  Win32Platform platform;
  const std::string missing = test::Utf8(folder.path() + L"absent \u00e9.exe");
  try {
    platform.FileAttributes(missing);
    FAIL() << "no error for a missing file";
  } catch (const PlatformError& error) {
    EXPECT_EQ(std::string(error.what()), SystemText(ERROR_FILE_NOT_FOUND));
  }
  EXPECT_THROW(platform.FileModified(missing), PlatformError);
}

TEST(FileQueryTest, AttributesAndTimeOfRealFiles) {
  test::TempFolder folder;
  Win32Platform platform;
  const std::wstring file = folder.path() + L"fichier \u4e2d.exe";
  test::WriteBytes(file, "abc");
  test::SetModified(file, test::Day(100));
  EXPECT_EQ(platform.FileAttributes(test::Utf8(file)) & kAttributeDirectory, 0u);
  EXPECT_NE(platform.FileAttributes(test::Utf8(folder.path())) & kAttributeDirectory, 0u);
  EXPECT_EQ(platform.FileModified(test::Utf8(file)).ticks, test::Ticks(test::Day(100)));
  EXPECT_LT(platform.FileModified(test::Utf8(file)), FileStamp{test::Ticks(test::Day(101))});
}

TEST(ProgramNameTest, IsTheBaseNameWithoutExtension) {
  Win32Platform platform;
  EXPECT_EQ(platform.ExecutableName(), "win32_tests");
  EXPECT_EQ(platform.ProgramSuffix(), ".EXE");
}

}  // namespace
}  // namespace quennel::win32
