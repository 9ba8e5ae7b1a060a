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
  try {
    platform.Stat(test::Utf8(folder.path() + L"absent \u00e9.exe"));
    FAIL() << "no error for a missing file";
  } catch (const PlatformError& error) {
    EXPECT_EQ(std::string(error.what()), SystemText(ERROR_FILE_NOT_FOUND));
  }
}

TEST(FileQueryTest, FolderAndTimeOfRealFiles) {
  test::TempFolder folder;
  Win32Platform platform;
  const std::wstring file = folder.path() + L"fichier \u4e2d.exe";
  test::WriteDated(file, "abc", 100);
  EXPECT_FALSE(platform.Stat(test::Utf8(file)).folder);
  EXPECT_TRUE(platform.Stat(test::Utf8(folder.path())).folder);
  // Day 100 after 2001-01-01 is 2001-04-11, 986,947,200 s after 1970.
  EXPECT_EQ(platform.Stat(test::Utf8(file)).modified, (FileStamp{986'947'200, 0}));
}

/// FILETIME's whole range, from 1601 to the year 60056, comes out exactly,
/// and goes back.
TEST(FileQueryTest, TimesAcrossTheWholeRange) {
  struct Case {
    FILETIME time;
    FileStamp expected;
  } cases[] = {
      {{0, 0}, {-11'644'473'600, 0}},
      {{1, 0}, {-11'644'473'600, 100}},
      // 1970-01-01: 116,444,736,000,000,000 ticks.
      {{0xD53E8000u, 0x019DB1DEu}, {0, 0}},
      {{0xFFFFFFFFu, 0xFFFFFFFFu}, {1'833'029'933'770, 955'161'500}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StampOf(c.time), c.expected);
    const FILETIME back = FileTimeOf(c.expected);
    EXPECT_EQ(CompareFileTime(&back, &c.time), 0);
  }
}

TEST(ProgramNameTest, IsTheBaseNameWithoutExtension) { EXPECT_EQ(Win32Platform().ExecutableName(), "win32_tests"); }

}  // namespace
}  // namespace quennel::win32
