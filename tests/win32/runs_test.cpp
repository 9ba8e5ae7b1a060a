/// Real quennel.exe runs: several at once on one destination, and over a
/// program that another process keeps running (set aside and updated).

#include <windows.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <thread>

#include <gtest/gtest.h>

#include "platform/win32/Handle.h"
#include "platform/win32/Paths.h"
#include "platform/win32/Staging.h"
#include "tests/win32/Support.h"

namespace quennel::win32 {
namespace {

using namespace std::chrono_literals;

/// The command lines the installed program was started with, one a start.
std::vector<std::wstring> Starts(const std::wstring& program) {
  const std::wstring log = program + L".starts";
  if (GetFileAttributesW(log.c_str()) == INVALID_FILE_ATTRIBUTES) return {};
  const std::string bytes = test::ReadBytes(log);
  const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
  std::vector<std::wstring> lines;
  for (size_t begin = 0, end; (end = text.find(L'\n', begin)) != std::wstring::npos; begin = end + 1)
    lines.push_back(text.substr(begin, end - begin));
  return lines;
}

bool Marked(const std::wstring& line) { return line.ends_with(L" (~!~)"); }

class Runs : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(CreateDirectoryW(newFolder.c_str(), nullptr));
    Prepare();
  }
  /// The helper installed, dated day 100; `newBits` waiting, dated day 200.
  void Prepare() {
    test::WriteDated(installed, oldBits, 100);
    test::WriteDated(source, newBits, 200);
  }
  test::Child Start() const { return Start(installed); }
  test::Child Start(const std::wstring& dest) const {
    return test::Child::Start(test::QuennelPath(), L"\"" + source + L"\" \"" + dest + L"\" vite", false);
  }
  /// Quennel's own files beside the installed program, but the lock file
  /// a replacement leaves for the next.
  std::vector<std::wstring> Leftovers() const {
    std::vector<std::wstring> names = folder.Names(L".quennel~");
    std::erase(names, LockFileName(SplitPath(installed).name));
    return names;
  }
  /// Waits until `count` starts are recorded.
  std::vector<std::wstring> AwaitStarts(size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (Starts(installed).size() < count && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(20ms);
    return Starts(installed);
  }

  test::TempFolder folder;
  const std::wstring newFolder = folder.path() + L"nouvelle";
  const std::wstring source = newFolder + L"\\prog.exe";
  const std::wstring installed = folder.path() + L"prog \u00e9 \u4e2d.exe";
  const std::string oldBits = test::ReadBytes(test::HelperPath());
  std::string newBits = oldBits + "nouvelle version";
};

/// Runs that overlap while one copies: a large new version.
class Concurrent : public Runs {
protected:
  void SetUp() override {
    newBits = oldBits + test::Pattern(40u << 20, 9);
    Runs::SetUp();
  }
};

TEST_F(Concurrent, SimultaneousRunsAllStartAndOneInstalls) {
  for (size_t runs : {4u, 8u}) {
    SCOPED_TRACE(runs);
    Prepare();
    std::vector<test::Child> children;
    for (size_t k = 0; k < runs; ++k) children.push_back(Start());
    for (auto& child : children) EXPECT_EQ(child.Wait(60s), DWORD{0});
    const auto starts = AwaitStarts(runs);
    ASSERT_EQ(starts.size(), runs);
    EXPECT_EQ(std::count_if(starts.begin(), starts.end(), [](const auto& line) { return !Marked(line); }), 1);
    EXPECT_TRUE(test::HasBytes(installed, newBits));
    EXPECT_TRUE(Leftovers().empty());
    DeleteFileW((installed + L".starts").c_str());
  }
}

TEST_F(Concurrent, DoubleClickWhileTheFirstProgramRuns) {
  // The started program stays open, as a real one would.
  test::WriteBytes(installed + L".stay", "4000");
  test::Child first = Start();
  std::this_thread::sleep_for(300ms);
  const auto before = std::chrono::steady_clock::now();
  test::Child second = Start();
  EXPECT_EQ(second.Wait(30s), DWORD{0});
  EXPECT_EQ(first.Wait(30s), DWORD{0});
  // Not the minute-long wait for a busy program.
  EXPECT_LT(std::chrono::steady_clock::now() - before, 20s);
  const auto starts = AwaitStarts(2);
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_NE(Marked(starts[0]), Marked(starts[1]));
  EXPECT_TRUE(test::HasBytes(installed, newBits));
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(Runs, ProgramRunByOthersIsUpdatedAtOnceAndClearedLater) {
  std::optional<test::Child> other;
  other.emplace(test::RunProgram(installed, 60000));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Start().Wait(60s), DWORD{0});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_TRUE(test::HasBytes(installed, newBits));
  // A new version went in: started without the marker.
  EXPECT_EQ(test::AwaitRecord(installed, 20s), L"\"" + installed + L"\" vite");
  EXPECT_FALSE(other->Wait(0ms).has_value());  // the other instance runs on
  EXPECT_EQ(folder.Names(L".old").size(), 1u);
  EXPECT_TRUE(folder.Names(L".tmp").empty());

  // Once it has ended, a replacement ten minutes on leaves nothing beside the program.
  other.reset();
  newBits += "2";
  test::WriteDated(source, newBits, 300);
  EXPECT_EQ(Start().Wait(60s), DWORD{0});
  EXPECT_TRUE(test::HasBytes(installed, newBits));
  ClearLeftovers(Extended(installed), test::AnHourOn());
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(Runs, FailedSecondRenamePutsTheOldFileBack) {
  test::Child other = test::RunProgram(installed, 60000);
  const std::wstring target = Extended(installed);
  const std::wstring aside = Extended(folder.path() + QuennelName(SplitPath(installed).name, Kind::SetAside, RandomHex()));
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const Handle old(CreateFileW(target.c_str(), DELETE | SYNCHRONIZE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  // The program's own folder cannot move into itself: the second rename fails.
  const Handle replacement(CreateFileW(Extended(folder.path()).c_str(), DELETE | SYNCHRONIZE, kShareAll, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(old.valid() && replacement.valid());
  EXPECT_THROW(ReplaceSettingAside(old.get(), replacement.get(), target, aside), PlatformError);
  EXPECT_TRUE(test::HasBytes(installed, oldBits));
  EXPECT_TRUE(folder.Names(L".quennel~").empty());
  EXPECT_FALSE(other.Wait(0ms).has_value());
}

/// The short (8.3) form of `path`, as the volume keeps it.
std::wstring ShortOf(const std::wstring& path) {
  wchar_t shorter[MAX_PATH];
  const DWORD length = GetShortPathNameW(path.c_str(), shorter, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(shorter, length) : path;
}

std::wstring Upper(std::wstring path) {
  CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
  return path;
}

/// Every spelling of one program, run together with its long name while
/// another user runs it: one install under the real name, one copy set
/// aside, one lock, and nothing named after a spelling.
TEST_F(Runs, EverySpellingOfOneProgramIsOneProgram) {
  const std::wstring name = L"Long Name App.exe";
  const struct {
    const char* name;
    std::function<std::wstring(const std::wstring& place)> spell;
  } spellings[] = {
      {"short name", [&](const std::wstring& place) { return place + SplitPath(ShortOf(place + name)).name; }},
      {"short folder", [&](const std::wstring& place) { return ShortOf(place) + name; }},
      {"case", [&](const std::wstring& place) { return Upper(place + name); }},
      {"slashes", [&](std::wstring place) { return std::ranges::replace(place, L'\\', L'/'), place + name; }},
      {"extended", [&](const std::wstring& place) { return LR"(\\?\)" + place + name; }},
      // scripts/test-windows.sh maps Q: to the same drive as C:.
      {"drive alias", [&](const std::wstring& place) { return L"Q:" + place.substr(2) + name; }},
  };
  int row = 0;
  for (const auto& spelling : spellings) {
    SCOPED_TRACE(spelling.name);
    const std::wstring place = folder.path() + L"Long Folder Name " + std::to_wstring(++row) + L"\\";
    ASSERT_TRUE(CreateDirectoryW(place.c_str(), nullptr));
    test::WriteDated(place + name, oldBits, 100);
    const std::wstring spelled = spelling.spell(place);
    ASSERT_NE(spelled, place + name);
    test::Child other = test::RunProgram(place + name, 60000);
    test::Child byName = Start(place + name), bySpelling = Start(spelled);
    EXPECT_EQ(byName.Wait(60s), DWORD{0});
    EXPECT_EQ(bySpelling.Wait(60s), DWORD{0});

    EXPECT_TRUE(test::HasBytes(place + name, newBits));
    // Each start is recorded beside the program under the name it was started by.
    std::vector<std::wstring> starts;
    for (int tries = 0; starts.size() < 2 && tries < 600; ++tries, std::this_thread::sleep_for(50ms)) {
      starts.clear();
      for (const std::wstring& file : test::NamesIn(place, L".starts"))
        std::ranges::copy(Starts(place + file.substr(0, file.size() - 7)), std::back_inserter(starts));
    }
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_NE(Marked(starts[0]), Marked(starts[1]));
    std::vector<std::wstring> ours = test::NamesIn(place, L".quennel~");
    std::ranges::sort(ours);
    std::string found;
    for (const std::wstring& file : ours) found += test::Utf8(file) + " ";
    ASSERT_EQ(ours.size(), 2u) << found;
    EXPECT_TRUE(IsQuennelName(ours[0], name, Kind::SetAside)) << test::Utf8(ours[0]);
    EXPECT_EQ(ours[1], LockFileName(name));
    for (const std::wstring& file : test::NamesIn(place))
      if (!file.ends_with(L".starts") && !file.ends_with(L".cmdline")) {
        EXPECT_TRUE(file.starts_with(name)) << test::Utf8(file);
      }
  }
}

/// A run killed between its two renames left nothing under the program's
/// name and the old version aside; the share is out of reach. The next
/// start puts it back under its real name and starts it.
TEST_F(Runs, ProgramStrandedAsideStartsWithTheNewVersionOutOfReach) {
  const std::wstring name = SplitPath(installed).name;
  ASSERT_TRUE(MoveFileW(installed.c_str(), (folder.path() + QuennelName(name, Kind::SetAside, RandomHex())).c_str()));
  ASSERT_TRUE(DeleteFileW(source.c_str()));
  const std::wstring spelled = Upper(installed);
  EXPECT_EQ(test::Child::Start(test::QuennelPath(), L"\"" + source + L"\" \"" + spelled + L"\" vite", false).Wait(60s),
            DWORD{0});
  EXPECT_TRUE(test::HasBytes(installed, oldBits));
  EXPECT_EQ(test::AwaitRecord(spelled, 20s), L"\"" + spelled + L"\" vite (~!~)");
  const std::vector<std::wstring> names = folder.Names(L".exe");
  EXPECT_EQ(std::ranges::count(names, name), 1);
  EXPECT_TRUE(Leftovers().empty());
}

}  // namespace
}  // namespace quennel::win32
