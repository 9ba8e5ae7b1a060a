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
  // Day 100 after 2001-01-01 is 2001-04-11, 986,947,200 s after 1970.
  EXPECT_EQ(platform.FileModified(test::Utf8(file)), (FileStamp{986'947'200, 0}));
  EXPECT_LT(platform.FileModified(test::Utf8(file)), StampOf(test::Day(101)));
}

/// FILETIME's whole range, from 1601 to the year 60056, comes out exactly.
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
  for (const Case& c : cases) EXPECT_EQ(StampOf(c.time), c.expected);
  EXPECT_LT(StampOf(cases[0].time), StampOf(cases[1].time));
}

TEST(ProgramNameTest, IsTheBaseNameWithoutExtension) {
  Win32Platform platform;
  EXPECT_EQ(platform.ExecutableName(), "win32_tests");
  EXPECT_EQ(platform.ProgramSuffix(), ".EXE");
}

}  // namespace
}  // namespace quennel::win32
