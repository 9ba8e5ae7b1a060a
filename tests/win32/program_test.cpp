/// quennel.exe itself, started as a shortcut would start it.

#include <windows.h>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "tests/win32/Support.h"

namespace quennel {
namespace {

using namespace std::chrono_literals;

/// Runs quennel.exe with `arguments`; its exit status.
DWORD RunQuennel(const std::wstring& arguments) {
  test::Child child = test::Child::Start(test::QuennelPath(), arguments, false);
  const auto status = child.Wait(60s);
  EXPECT_TRUE(status.has_value()) << "quennel.exe did not end";
  return status.value_or(~DWORD{0});
}

class ProgramTest : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(CreateDirectoryW(newFolder.c_str(), nullptr));
    test::WriteDated(installed, oldBits, 100);
    test::WriteDated(source, newBits, 200);
  }

  test::TempFolder folder;
  const std::wstring newFolder = folder.path() + L"Nouvelle version \u00fc";
  const std::wstring source = newFolder + L"\\Programme \u4e2d.exe";
  const std::wstring installed = folder.path() + L"Programme \u00e9.exe";
  const std::string oldBits = test::ReadBytes(test::HelperPath());
  const std::string newBits = oldBits + "v2";
};

TEST_F(ProgramTest, ReplacesAndStartsTheInstalledProgram) {
  EXPECT_EQ(RunQuennel(L"\"" + source + L"\" \"" + installed + L"\" a \"b c\""), DWORD{kExitStarted});
  EXPECT_TRUE(test::HasBytes(installed, newBits));
  EXPECT_EQ(test::AwaitRecord(installed, 20s), L"\"" + installed + L"\" a \"b c\"");
}

TEST_F(ProgramTest, UpToDateStartsWithMarker) {
  test::SetModified(source, test::Day(10));
  EXPECT_EQ(RunQuennel(L"\"" + source + L"\"  \"" + installed + L"\"  /x"), DWORD{kExitStarted});
  EXPECT_TRUE(test::HasBytes(installed, oldBits));
  EXPECT_EQ(test::AwaitRecord(installed, 20s), L"\"" + installed + L"\" /x (~!~)");
}

TEST_F(ProgramTest, UnpairedSurrogateInAnArgumentPassesThrough) {
  test::SetModified(source, test::Day(10));
  const std::wstring odd{L'a', wchar_t(0xD800), L'b', L' ', wchar_t(0xDFFF)};
  EXPECT_EQ(RunQuennel(L"\"" + source + L"\" \"" + installed + L"\" " + odd), DWORD{kExitStarted});
  EXPECT_EQ(test::AwaitRecord(installed, 20s), L"\"" + installed + L"\" " + odd + L" (~!~)");
}

TEST_F(ProgramTest, PathWithoutDotGetsTheProgramSuffix) {
  const std::wstring bare = installed.substr(0, installed.size() - 4);
  if (bare.find(L'.') != std::wstring::npos) GTEST_SKIP() << "the temporary folder's path has a dot";
  test::SetModified(source, test::Day(10));
  EXPECT_EQ(RunQuennel(L"\"" + source + L"\" \"" + bare + L"\""), DWORD{kExitStarted});
  EXPECT_EQ(test::AwaitRecord(installed, 20s), L"\"" + bare + L".EXE\"  (~!~)");
}

class UsageTest : public testing::TestWithParam<std::wstring> {};

TEST_P(UsageTest, MalformedCommandLineEndsWithUsageStatus) {
  EXPECT_EQ(RunQuennel(GetParam()), DWORD{kExitUsage});
}

INSTANTIATE_TEST_SUITE_P(CommandLines, UsageTest,
                         testing::Values(L"", L"a b", L"\"C:\\nouveau.exe\"", L"\"\" \"C:\\q.exe\"",
                                         L"\"C:\\nouveau.exe\" \"\""));

TEST(ProgramFailureTest, UnstartableProgramEndsWithFailureStatus) {
  test::TempFolder folder;
  // Up to date (same path), but nothing there to start.
  const std::wstring missing = folder.path() + L"absent.exe";
  EXPECT_EQ(RunQuennel(L"\"" + missing + L"\" \"" + missing + L"\""), DWORD{kExitFailure});
}

/// Alone, the option names quennel.exe's message table for the Event Viewer.
TEST(EventSourceTest, RegistrationNamesTheProgramsMessageTable) {
  const wchar_t* key = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quennel";
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
  EXPECT_EQ(RunQuennel(L"--register-event-source "), DWORD{0});
  std::wstring file(32'768, L'\0');
  DWORD types = 0, size = static_cast<DWORD>(file.size() * sizeof(wchar_t)), typesSize = sizeof types;
  RegGetValueW(HKEY_LOCAL_MACHINE, key, L"EventMessageFile", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
               file.data(), &size);
  RegGetValueW(HKEY_LOCAL_MACHINE, key, L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &types, &typesSize);
  EXPECT_EQ(file.c_str(), test::QuennelPath());
  EXPECT_EQ(types, DWORD{EVENTLOG_INFORMATION_TYPE | EVENTLOG_WARNING_TYPE});
}

}  // namespace
}  // namespace quennel
