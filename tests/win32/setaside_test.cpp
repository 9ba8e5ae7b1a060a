/// A program that another process keeps running is set aside and updated.

#include <windows.h>

#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "platform/win32/Win32Platform.h"
#include "tests/win32/Support.h"

namespace quennel::win32 {
namespace {

using namespace std::chrono_literals;
using test::Utf8;

class SetAsideTest : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(CreateDirectoryW(newFolder.c_str(), nullptr));
    test::WriteBytes(installed, oldBits);
    test::SetModified(installed, test::Day(100));
    NewVersion(newBits, 200);
  }
  void NewVersion(const std::string& bits, int day) {
    test::WriteBytes(source, bits);
    test::SetModified(source, test::Day(day));
  }
  /// Runs quennel.exe to its end; its exit status.
  std::optional<DWORD> RunQuennel() {
    test::Child run = test::Child::Start(test::ProgramFolder() + L"quennel.exe",
                                         L"\"" + source + L"\" \"" + installed + L"\" vite", false);
    return run.Wait(60s);
  }
  /// Names beside the program that are Quennel's, ending with `end`.
  std::vector<std::wstring> Quennels(const wchar_t* end) const {
    std::vector<std::wstring> names = folder.Names();
    std::erase_if(names, [&](const std::wstring& name) {
      return name.find(L".quennel~") == std::wstring::npos || !name.ends_with(end);
    });
    return names;
  }

  test::TempFolder folder;
  const std::wstring newFolder = folder.path() + L"nouvelle";
  const std::wstring source = newFolder + L"\\prog.exe";
  const std::wstring installed = folder.path() + L"prog \u00e9 \u4e2d.exe";
  const std::string oldBits = test::ReadBytes(test::HelperPath());
  const std::string newBits = oldBits + "nouvelle version";
};

TEST_F(SetAsideTest, ProgramRunByOthersIsUpdatedAtOnceAndClearedLater) {
  std::optional<test::Child> other;
  other.emplace(test::RunProgram(installed, 60000));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunQuennel(), DWORD{0});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_TRUE(test::HasBytes(installed, newBits));
  // A new version went in: started without the marker.
  EXPECT_EQ(test::AwaitRecord(installed, 20s), L"\"" + installed + L"\" vite");
  EXPECT_FALSE(other->Wait(0ms).has_value());  // the other instance runs on
  EXPECT_EQ(Quennels(L".old").size(), 1u);
  EXPECT_TRUE(Quennels(L".tmp").empty());

  // Once it has ended, the next replacement leaves nothing beside the program.
  other.reset();
  NewVersion(newBits + "2", 300);
  EXPECT_EQ(RunQuennel(), DWORD{0});
  EXPECT_TRUE(test::HasBytes(installed, newBits + "2"));
  EXPECT_TRUE(Quennels(L"").empty());
}

/// Fails between the two renames.
class Interrupted : public Win32Platform {
public:
  void BetweenRenames() override { throw PlatformError("coupure"); }
};

TEST_F(SetAsideTest, FailureBetweenTheRenamesPutsTheOldFileBack) {
  test::Child other = test::RunProgram(installed, 60000);
  Interrupted platform;
  auto staged = platform.StageCopy(Utf8(source), Utf8(installed), [](std::uint64_t, std::uint64_t) {});
  try {
    staged->Commit();
    FAIL() << "replaced a running program's file";
  } catch (const BusyError& busy) {
    EXPECT_TRUE(busy.CanSetAside());
  }
  EXPECT_THROW(staged->CommitSettingAside(), PlatformError);
  staged.reset();
  EXPECT_TRUE(test::HasBytes(installed, oldBits));
  EXPECT_TRUE(Quennels(L"").empty());
  EXPECT_FALSE(other.Wait(0ms).has_value());
}

TEST_F(SetAsideTest, FileHeldWithoutDeleteSharingIsNotSetAside) {
  test::Child holder = test::HoldFile(installed, 20000);
  Win32Platform platform;
  auto staged = platform.StageCopy(Utf8(source), Utf8(installed), [](std::uint64_t, std::uint64_t) {});
  try {
    staged->Commit();
    FAIL() << "replaced a held file";
  } catch (const BusyError& busy) {
    EXPECT_FALSE(busy.CanSetAside());
  }
}

}  // namespace
}  // namespace quennel::win32
