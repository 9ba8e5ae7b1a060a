/// The whole driver on the real Windows backend and real files; only the
/// command line, the message boxes and the end of the process are caught.

#include <windows.h>

#include <gtest/gtest.h>

#include "platform/win32/SystemError.h"
#include "platform/win32/Win32Platform.h"
#include "tests/RunForm.h"
#include "tests/win32/Support.h"
#include "update/F_Main.h"

namespace quennel::win32 {
namespace {

using namespace std::chrono_literals;
using test::Utf8;

/// `path` in double quotes, in UTF-8.
std::string Quoted(const std::wstring& path) {
  std::string quoted(1, '"');
  quoted += Utf8(path);
  quoted += '"';
  return quoted;
}

/// The real backend, but for the command line, the end and a record of the boxes.
class CaughtPlatform final : public Process, public Screen {
public:
  explicit CaughtPlatform(std::string tail) : tail_(std::move(tail)) {}
  std::string CommandTail() override { return tail_; }
  void Pause(std::chrono::milliseconds duration) override { real.Pause(duration); }
  std::chrono::steady_clock::time_point Now() override { return real.Now(); }
  void StartProgram(const std::string& line, WindowMode mode) override { real.StartProgram(line, mode); }
  std::string ExecutableName() override { return real.ExecutableName(); }
  std::string ProgramSuffix() override { return real.ProgramSuffix(); }
  [[noreturn]] void End(int status) override { throw quennel::testing::Ended{status}; }

  void PumpEvents() override { real.PumpEvents(); }
  void ShowMessage(const std::string& text, MessageStyle style, const std::optional<std::string>& title) override {
    messages.push_back(text);
    styles.push_back(style);
    real.ShowMessage(text, style, title);  // no desktop here: returns at once
  }
  void SetLabelText(int index, const std::string& text) override { real.SetLabelText(index, text); }
  void ShowProgressWindow() override { real.ShowProgressWindow(); }
  void ShowCopyProgress(double fraction) noexcept override { real.ShowCopyProgress(fraction); }
  void ShowNotice(const std::string& text) override { real.ShowNotice(text); }
  void PlayBeep() override { real.PlayBeep(); }
  void SetPointer(PointerShape shape) override { real.SetPointer(shape); }

  Win32Platform real;
  EventLog log;
  std::vector<std::string> messages;
  std::vector<MessageStyle> styles;

private:
  std::string tail_;
};

class DriverTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(CreateDirectoryW(newFolder.c_str(), nullptr));
    test::WriteDated(installed, oldBits, 100);
    test::WriteDated(source, newBits, 200);
  }

  /// Runs Quennel through start-up's runner; the exit status.
  int Run(CaughtPlatform& platform, std::chrono::milliseconds busyLimit) {
    return quennel::testing::RunForm({platform.real, platform, platform, platform.log}, busyLimit);
  }

  std::string Tail(const std::string& extra) const {
    return Quoted(source) + " " + Quoted(installed) + " " + extra;
  }
  std::wstring Launched(const std::wstring& extra) const { return L"\"" + installed + L"\" " + extra; }

  test::TempFolder folder;
  const std::wstring newFolder = folder.path() + L"nouvelle version";
  const std::wstring source = newFolder + L"\\Mon programme.exe";
  const std::wstring installed = folder.path() + L"Mon programme \u00e9 \u00fc \u4e2d.exe";
  // The helper records its command line; the new version is it with a tail.
  const std::string oldBits = test::ReadBytes(test::HelperPath());
  const std::string newBits = oldBits + "nouvelle version";
};

TEST_F(DriverTest, ReplacesOnceReleasedAndStartsWithoutMarker) {
  test::Child holder = test::HoldFile(installed, 800);
  CaughtPlatform platform(Tail("x \"y z\""));
  EXPECT_EQ(Run(platform, 20s), kExitStarted);
  EXPECT_TRUE(test::HasBytes(installed, newBits));
  EXPECT_EQ(platform.real.Stat(Utf8(installed)).modified, platform.real.Stat(Utf8(source)).modified);
  EXPECT_EQ(test::AwaitRecord(installed, 20s), Launched(L"x \"y z\""));
  EXPECT_TRUE(platform.messages.empty());
  EXPECT_EQ(folder.Names().size(), 4u);  // the program, its lock file and its two records
}

TEST_F(DriverTest, GivesUpAtTheBoundAndStartsTheOldOneWithMarker) {
  // Held open without delete sharing: it cannot be set aside.
  test::Child holder = test::HoldFile(installed, 30000);
  CaughtPlatform platform(Tail("x"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run(platform, 1s), kExitStarted);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_TRUE(test::HasBytes(installed, oldBits));
  EXPECT_EQ(test::AwaitRecord(installed, 20s), Launched(L"x (~!~)"));
  ASSERT_EQ(platform.messages.size(), 1u);
  EXPECT_EQ(platform.styles[0], MessageStyle::Warning);
  EXPECT_NE(platform.messages[0].find(Utf8(installed)), std::string::npos);
  EXPECT_EQ(folder.Names().size(), 4u);  // the program, its lock file, its records: no staging file
}

TEST_F(DriverTest, UpToDateStartsWithMarker) {
  test::SetModified(source, test::Day(50));
  CaughtPlatform platform(Tail(""));
  EXPECT_EQ(Run(platform, 1s), kExitStarted);
  EXPECT_TRUE(test::HasBytes(installed, oldBits));
  EXPECT_EQ(test::AwaitRecord(installed, 20s), Launched(L" (~!~)"));
  EXPECT_TRUE(platform.messages.empty());
}

TEST_F(DriverTest, MissingInstalledCopyIsInstalled) {
  ASSERT_TRUE(DeleteFileW(installed.c_str()));
  CaughtPlatform platform(Tail("--premier"));
  EXPECT_EQ(Run(platform, 1s), kExitStarted);
  EXPECT_TRUE(test::HasBytes(installed, newBits));
  EXPECT_EQ(test::AwaitRecord(installed, 20s), Launched(L"--premier"));
}

TEST_F(DriverTest, ProgramThatCannotStartIsReportedWithItsPath) {
  const std::wstring missing = folder.path() + L"absent \u00e9.exe";
  CaughtPlatform platform(Quoted(missing) + " " + Quoted(missing));
  EXPECT_EQ(Run(platform, 1s), kExitFailure);
  ASSERT_EQ(platform.messages.size(), 1u);
  EXPECT_EQ(platform.messages[0],
            "Erreur d'exécution\r\n" + SystemText(ERROR_FILE_NOT_FOUND) + "\r\n" + Quoted(missing));
  EXPECT_EQ(platform.styles[0], MessageStyle::Critical);
}

/// A program past MAX_PATH goes in; it starts where the volume gives it a
/// short form (wine 8 starts no such program at all), else the box names it.
TEST_F(DriverTest, ProgramPastMaxPathIsInstalledAndAFailedStartNamesIt) {
  std::wstring program = LR"(\\?\)" + folder.path();
  for (const wchar_t letter : {L'a', L'b', L'c'})
    ASSERT_TRUE(CreateDirectoryW((program += std::wstring(90, letter) + L"\\").c_str(), nullptr));
  program += L"programme.exe";
  CaughtPlatform platform(Quoted(source) + " " + Quoted(program.substr(4)) + " x");
  const int status = Run(platform, 1s);
  EXPECT_TRUE(test::HasBytes(program, newBits));
  if (status == kExitStarted) EXPECT_TRUE(test::AwaitRecord(program, 20s).has_value());
  else EXPECT_TRUE(platform.messages.at(0).ends_with("\r\n" + Quoted(program.substr(4)))) << platform.messages[0];
}

}  // namespace
}  // namespace quennel::win32
