#include <windows.h>

#include <gtest/gtest.h>

#include "platform/win32/Text.h"
#include "platform/win32/Win32Platform.h"
#include "tests/win32/Support.h"
#include "update/Busy.h"

namespace quennel::win32 {
namespace {

using namespace std::chrono_literals;
using test::Utf8;

class BusyTest : public testing::Test {
protected:
  void SetUp() override { test::WriteDated(source, newBits, 200); }

  /// Commits through the driver's own wait; returns the number of busy answers.
  int CommitWithin(StagedCopy& staged, RunningProgram running) {
    int tries = 0;
    RetryWhileBusy(platform.Parts(), {20s}, [&] {
      ++tries;
      staged.Commit(running);
    });
    return tries - 1;
  }

  test::TempFolder folder;
  const std::wstring source = folder.path() + L"nouveau.exe";
  const std::wstring dest = folder.path() + L"install\u00e9 \u4e2d.exe";
  const std::string newBits = test::Pattern(300000, 5);
  Win32Platform platform;
};

TEST_F(BusyTest, FileHeldWithoutSharingIsBusyUntilReleasedNeverSetAside) {
  test::WriteBytes(dest, test::Pattern(1000, 6));
  test::Child holder = test::HoldFile(dest, 1500);

  auto staged = platform.StageCopy(Utf8(source), Utf8(dest), test::kNoProgress);
  try {
    staged->Commit(RunningProgram::SetAside);
    FAIL() << "replaced a file held without sharing";
  } catch (const BusyError& error) {
    EXPECT_STRNE(error.what(), "");
  }
  // Between tries, a concurrent run's clean-up still cannot remove the copy.
  const std::vector<std::wstring> staging = folder.Names(L".quennel~");
  ASSERT_EQ(staging.size(), 1u);
  EXPECT_FALSE(DeleteFileW((folder.path() + staging[0]).c_str()));

  EXPECT_GT(CommitWithin(*staged, RunningProgram::SetAside), 0);
  EXPECT_TRUE(test::HasBytes(dest, newBits));
  EXPECT_EQ(holder.Wait(10s), DWORD{0});
  EXPECT_EQ(folder.Names().size(), 2u);
}

TEST_F(BusyTest, RunningProgramIsBusyOrSetAside) {
  const std::string oldBits = test::ReadBytes(test::HelperPath());
  test::WriteBytes(dest, oldBits);
  test::Child running = test::RunProgram(dest, 60000);

  auto staged = platform.StageCopy(Utf8(source), Utf8(dest), test::kNoProgress);
  EXPECT_THROW(staged->Commit(RunningProgram::Wait), BusyError);
  EXPECT_TRUE(test::HasBytes(dest, oldBits));

  staged->Commit(RunningProgram::SetAside);
  EXPECT_TRUE(test::HasBytes(dest, newBits));
  EXPECT_FALSE(running.Wait(0ms).has_value());  // it runs on from its new name
  const std::vector<std::wstring> aside = folder.Names(L".quennel~");
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_TRUE(aside[0].ends_with(L".old"));
  EXPECT_TRUE(test::HasBytes(folder.path() + aside[0], oldBits));
}

}  // namespace
}  // namespace quennel::win32
