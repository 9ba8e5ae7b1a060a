/// The backend's pure rules: what a refusal means, how a long path is
/// started, the system's texts, text and times across the boundary.

#include <windows.h>

#include <gtest/gtest.h>

#include "platform/win32/FileInfo.h"
#include "platform/win32/Rename.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Process.h"

namespace quennel::win32 {
namespace {

TEST(Refusals, OnlyWhatWillEndIsWaitedFor) {
  constexpr DWORD kFile = FILE_ATTRIBUTE_ARCHIVE;
  const struct {
    const char* name;
    DWORD rename, attributes, deleteOpen;
    Refusal expected;
  } cases[] = {
      {"running image", ERROR_ACCESS_DENIED, kFile, 0, Refusal::Running},
      {"open without delete sharing", ERROR_SHARING_VIOLATION, kFile, ERROR_SHARING_VIOLATION, Refusal::Busy},
      {"locked range", ERROR_LOCK_VIOLATION, kFile, ERROR_SHARING_VIOLATION, Refusal::Busy},
      {"permission refused", ERROR_ACCESS_DENIED, kFile, ERROR_ACCESS_DENIED, Refusal::Lasting},
      {"folder in the way", ERROR_ACCESS_DENIED, FILE_ATTRIBUTE_DIRECTORY, 0, Refusal::Lasting},
      {"disk full", ERROR_DISK_FULL, kFile, 0, Refusal::Lasting},
      {"gone meanwhile", ERROR_SHARING_VIOLATION, INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND, Refusal::Busy},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ClassifyRefusal(c.rename, c.attributes, c.deleteOpen), c.expected);
  }
}

/// Past MAX_PATH the system takes no application name but a short one.
TEST(StartName, ShortFormOnlyWhereTheWholePathWouldNotDo) {
  const std::wstring deep = L"C:\\" + std::wstring(290, L'a') + L".exe";
  const struct {
    const char* name;
    std::wstring program, shortForm;
    std::optional<std::wstring> chosen;
  } cases[] = {
      {"short enough as it is", L"C:\\apps\\prog.exe", L"C:\\APPS\\PROG.EXE", L"C:\\apps\\prog.exe"},
      {"259 characters", std::wstring(259, L'p'), L"P~1", std::wstring(259, L'p')},
      {"260 characters: its short form", std::wstring(260, L'p'), L"P~1", L"P~1"},
      {"extended short form", deep, L"\\\\?\\C:\\AAAAAA~1.EXE", L"C:\\AAAAAA~1.EXE"},
      {"short form on a share", deep, L"\\\\?\\UNC\\srv\\pub\\AAAAAA~1.EXE", L"\\\\srv\\pub\\AAAAAA~1.EXE"},
      {"no short names on the volume", deep, L"", std::nullopt},
      {"short form still too long", deep, L"C:\\" + std::wstring(257, L's'), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ApplicationName(c.program, [&](const std::wstring&) { return c.shortForm; }), c.chosen);
  }
}

TEST(SystemText, OneLineOfTheSystemsOwnOrTheCode) {
  const std::string text = SystemText(ERROR_SHARING_VIOLATION);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(std::string_view("\r\n ").find(text.back()), std::string_view::npos);
  EXPECT_NE(text, SystemText(ERROR_ACCESS_DENIED));
  EXPECT_EQ(SystemText(0x2FFFFFFF), "Erreur système 805306367.");
}

TEST(Text, CrossesTheBoundaryBothWays) {
  const struct {
    std::wstring wide;
    std::string utf8;
  } both[] = {
      {L"C:\\\u00e9 \u4e2d \U0001F600", "C:\\\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80"},
      // Unpaired surrogates keep their three-byte form.
      {std::wstring{L'a', wchar_t(0xD800), L'b', wchar_t(0xDC01)}, "a\xED\xA0\x80" "b\xED\xB0\x81"},
  };
  for (const auto& c : both) {
    EXPECT_EQ(Utf8(c.wide), c.utf8);
    EXPECT_EQ(Wide(c.utf8), c.wide);
  }
  EXPECT_EQ(Wide("a\xC3\xC0\xAF"), L"a\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(CommandTailOf(L"\"C:\\Dossier \u00e9\\q.exe\"   \"\u00fc\"  \"b\" x\t"), "\"\xC3\xBC\"  \"b\" x\t");
  EXPECT_EQ(CommandTailOf(L"q.exe\t\"a\" \"b\""), "\"a\" \"b\"");
}

/// FILETIME's range comes out exactly, and goes back where SetFileTime
/// takes it (zero and all ones would leave a time as it is).
TEST(Times, AcrossTheWholeRange) {
  const struct {
    FILETIME time;
    FileStamp stamp;
    FILETIME back;
  } cases[] = {
      {{1, 0}, {-11'644'473'600, 100}, {1, 0}},
      {{0, 0}, {-11'644'473'600, 0}, {1, 0}},
      {{0xD53E8000u, 0x019DB1DEu}, {0, 0}, {0xD53E8000u, 0x019DB1DEu}},  // 1970
      {{0xFFFFFFFFu, 0xFFFFFFFFu}, {1'833'029'933'770, 955'161'500}, {0xFFFFFFFFu, 0x7FFFFFFFu}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StampOf(c.time), c.stamp);
    const FILETIME back = FileTimeOf(c.stamp);
    EXPECT_EQ(CompareFileTime(&back, &c.back), 0) << back.dwHighDateTime << " " << back.dwLowDateTime;
  }
}

}  // namespace
}  // namespace quennel::win32
