/// Several quennel.exe runs on one destination at once, as real processes.

#include <windows.h>

#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "tests/win32/Support.h"

namespace quennel {
namespace {

using namespace std::chrono_literals;

constexpr wchar_t kMarker[] = L" (~!~)";

std::wstring QuennelPath() { return test::ProgramFolder() + L"quennel.exe"; }

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

bool Marked(const std::wstring& line) {
  return line.size() >= 6 && line.compare(line.size() - 6, 6, kMarker) == 0;
}

class ConcurrentTest : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(CreateDirectoryW(newFolder.c_str(), nullptr));
    Prepare();
  }
  void Prepare() {
    test::WriteBytes(installed, oldBits);
    test::SetModified(installed, test::Day(100));
    test::WriteBytes(source, newBits);
    test::SetModified(source, test::Day(200));
  }

  test::Child Start() const {
    return test::Child::Start(QuennelPath(), L"\"" + source + L"\" \"" + installed + L"\" run", false);
  }

  /// Waits until `count` starts are recorded.
  std::vector<std::wstring> AwaitStarts(size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (Starts(installed).size() < count && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(20ms);
    return Starts(installed);
  }

  /// Files beside the program other than it and its test records.
  std::vector<std::wstring> Leftovers() const {
    std::vector<std::wstring> names = folder.Names();
    std::erase_if(names, [](const std::wstring& name) { return name.find(L".quennel~") == std::wstring::npos; });
    return names;
  }

  test::TempFolder folder;
  const std::wstring newFolder = folder.path() + L"nouvelle";
  const std::wstring source = newFolder + L"\\prog.exe";
  const std::wstring installed = folder.path() + L"prog \u00e9.exe";
  const std::string oldBits = test::ReadBytes(test::HelperPath());
  // Large enough that the runs overlap while one copies.
  const std::string newBits = oldBits + test::Pattern(40u << 20, 9);
};

TEST_F(ConcurrentTest, SimultaneousRunsAllStartAndOneInstalls) {
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

TEST_F(ConcurrentTest, DoubleClickWhileTheFirstProgramRuns) {
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

}  // namespace
}  // namespace quennel
