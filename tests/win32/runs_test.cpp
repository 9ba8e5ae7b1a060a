/// Whole runs on real files, one concern each: through quennel.exe, or in
/// this process where a wait must be short or a box read.

#include <windows.h>
#include <algorithm>
#include <functional>
#include <thread>

#include "platform/win32/Win32Place.h"
#include "platform/win32/Win32Process.h"
#include "tests/win32/Support.h"
#include "update/Leftovers.h"
#include "update/OwnNames.h"

namespace quennel::test {
namespace {

class Runs : public InstallTest {
protected:
  /// Quennel's own files beside `program` but its lock file; named, for a message.
  std::string Leftovers(const std::wstring& program) const {
    const std::wstring name = program.substr(program.find_last_of(L'\\') + 1);
    std::string left;
    for (const std::wstring& file : NamesIn(program.substr(0, program.size() - name.size()), L".quennel~"))
      if (file.starts_with(name) && file != name + L".quennel~lock") left += Utf8(file) + " ";
    return left;
  }
  std::wstring Launched(const std::wstring& program, const std::wstring& extra) const {
    return L"\"" + program + L"\" " + extra;
  }
};

TEST_F(Runs, RunningProgramIsSetAsideTheNewOneStartedAndTheOldClearedLater) {
  std::optional<Child> other;
  other.emplace(RunProgram(installed, 60000));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Start(installed).Wait(60s), DWORD{0});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_TRUE(HasBytes(installed, newBits));
  EXPECT_EQ(AwaitStarts(installed, 1), std::vector{Launched(installed, L"vite")});
  EXPECT_FALSE(other->Wait(0ms).has_value());  // the other instance runs on
  ASSERT_EQ(NamesIn(folder.path(), L".old").size(), 1u);
  EXPECT_TRUE(NamesIn(folder.path(), L".tmp").empty());
  // Once it has ended, a clean-up ten minutes on leaves nothing beside the program.
  other.reset();
  FileStamp later = win32::Win32Process().Clock();
  later.seconds += 3600;
  ClearLeftovers(files, *files.Resolve(Utf8(installed), false), later);
  EXPECT_EQ(Leftovers(installed), "");
}

/// A file held open without delete sharing is waited for, within the bound.
TEST_F(Runs, HeldOpenIsWaitedForThenGivenUp) {
  for (const bool released : {true, false}) {
    SCOPED_TRACE(released ? "released within the bound" : "held past it");
    boxes.clear();
    const std::wstring installed = folder.path() + (released ? L"lib\u00e9r\u00e9.exe" : L"tenu.exe");
    WriteBytes(installed, oldBits, 100);
    Child holder = HoldFile(installed, released ? 800 : 30000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunHere(Quoted(source) + " " + Quoted(installed) + " x", released ? 20s : 1s), kExitStarted);
    EXPECT_GE(std::chrono::steady_clock::now() - start, released ? 800ms : 1s);
    EXPECT_TRUE(HasBytes(installed, released ? newBits : oldBits));
    EXPECT_EQ(boxes.size(), released ? 0u : 1u);
    if (!released) {
      EXPECT_NE(boxes[0].find(Utf8(installed)), std::string::npos);
    }
    EXPECT_EQ(AwaitStarts(installed, 1).back(), Launched(installed, released ? L"x" : L"x (~!~)"));
    EXPECT_EQ(Leftovers(installed), "");
  }
}

TEST_F(Runs, SimultaneousRunsAllStartAndOneInstalls) {
  newBits = oldBits + std::string(40u << 20, 'v');  // they overlap while one copies
  WriteBytes(source, newBits, 200);
  WriteBytes(installed + L".stay", "3000");  // the started program stays open, as a real one would
  const auto start = std::chrono::steady_clock::now();
  std::vector<Child> children;
  for (int k = 0; k < 6; ++k) children.push_back(Start(installed));
  for (auto& child : children) EXPECT_EQ(child.Wait(60s), DWORD{0});
  // Not the minute-long wait for a busy program.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 40s);
  const auto starts = AwaitStarts(installed, 6);
  ASSERT_EQ(starts.size(), 6u);
  EXPECT_EQ(std::ranges::count_if(starts, [](const auto& line) { return !Marked(line); }), 1);
  EXPECT_TRUE(HasBytes(installed, newBits));
  EXPECT_EQ(Leftovers(installed), "");
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
      {"short name",
       [&](const std::wstring& place) {
         const std::wstring shorter = ShortOf(place + name);
         return place + shorter.substr(shorter.find_last_of(L'\\') + 1);
       }},
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
    WriteBytes(place + name, oldBits, 100);
    const std::wstring spelled = spelling.spell(place);
    ASSERT_NE(spelled, place + name);
    Child other = RunProgram(place + name, 60000);
    Child byName = Start(place + name), bySpelling = Start(spelled);
    EXPECT_EQ(byName.Wait(60s), DWORD{0});
    EXPECT_EQ(bySpelling.Wait(60s), DWORD{0});

    EXPECT_TRUE(HasBytes(place + name, newBits));
    // Each start is recorded beside the program under the name it was started by.
    std::vector<std::wstring> starts;
    for (int tries = 0; starts.size() < 2 && tries < 600; ++tries, std::this_thread::sleep_for(50ms)) {
      starts.clear();
      for (const std::wstring& file : NamesIn(place, L".starts"))
        std::ranges::copy(Starts(place + file.substr(0, file.size() - 7)), std::back_inserter(starts));
    }
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_NE(Marked(starts[0]), Marked(starts[1]));
    std::vector<std::wstring> ours = NamesIn(place, L".quennel~");
    std::ranges::sort(ours);
    ASSERT_EQ(ours.size(), 2u) << Leftovers(place + name);
    EXPECT_TRUE(IsOwnFileName(Utf8(ours[0]), Utf8(name), *OwnKinds(files.Names()).setAside, NameUnits::Utf16))
        << Utf8(ours[0]);
    EXPECT_EQ(ours[1], name + L".quennel~lock");
    for (const std::wstring& file : NamesIn(place))
      if (!file.ends_with(L".starts")) {
        EXPECT_TRUE(file.starts_with(name)) << Utf8(file);
      }
  }
}

/// The real files, but for a pause between the two renames of a running
/// program's replacement, in which `between` runs.
class PausingFiles final : public win32::Win32Files {
public:
  explicit PausingFiles(std::function<void()> between) : between_(std::move(between)) {}
  std::unique_ptr<Place> Resolve(const std::string& destination, bool makeFolders) override {
    struct Paused final : win32::Win32Place {
      Paused(const std::string& destination, bool makeFolders, std::function<void()>& between)
          : Win32Place(destination, makeFolders), between(between) {}
      std::unique_ptr<AsideFile> SetAside(const std::string& name) override {
        auto aside = Win32Place::SetAside(name);
        between();
        return aside;
      }
      std::function<void()>& between;
    };
    return std::make_unique<Paused>(destination, makeFolders, between_);
  }

private:
  std::function<void()> between_;
};

/// Short names started while the long name installs and the program runs,
/// between its two renames (held apart a while, the short name leading
/// nowhere): nothing named after a short name comes of it, round after round.
TEST_F(Runs, ShortNamesNeverTakeALockOfTheirOwn) {
  const std::wstring name = L"Long Name App.exe";
  for (int round = 1; round <= 6; ++round) {
    SCOPED_TRACE(round);
    const std::wstring place = folder.path() + L"Round " + std::to_wstring(round) + L"\\";
    ASSERT_TRUE(CreateDirectoryW(place.c_str(), nullptr));
    WriteBytes(place + name, oldBits, 100);
    const std::wstring shorter = ShortOf(place + name);
    const std::wstring alias = place + shorter.substr(shorter.find_last_of(L'\\') + 1);
    ASSERT_NE(alias, place + name);
    Child other = RunProgram(place + name, 60000);
    std::vector<Child> runs;
    PausingFiles pausing([&] {
      // Spread over the pause, a little later each round.
      for (int k = 0; k < 4; ++k) {
        runs.push_back(Start(alias));
        std::this_thread::sleep_for(std::chrono::milliseconds(100 * round + 150 * k));
      }
      std::this_thread::sleep_for(1s);
    });
    EXPECT_EQ(RunHere(pausing, Quoted(source) + " " + Quoted(place + name) + " x", 20s), kExitStarted);
    EXPECT_TRUE(boxes.empty()) << boxes.at(0);
    ASSERT_EQ(runs.size(), 4u);
    for (Child& run : runs) EXPECT_EQ(run.Wait(60s), DWORD{0});
    EXPECT_TRUE(HasBytes(place + name, newBits));
    // Each start is recorded beside the program under the name it was started by.
    std::vector<std::wstring> starts;
    for (int tries = 0; starts.size() < 5 && tries < 600; ++tries, std::this_thread::sleep_for(50ms)) {
      starts.clear();
      for (const std::wstring& file : NamesIn(place, L".starts"))
        std::ranges::copy(Starts(place + file.substr(0, file.size() - 7)), std::back_inserter(starts));
    }
    EXPECT_EQ(std::ranges::count_if(starts, Marked), 4);
    for (const std::wstring& file : NamesIn(place))
      if (file != name && file != name + L".quennel~lock" && !file.ends_with(L".starts") &&
          !IsOwnFileName(Utf8(file), Utf8(name), *OwnKinds(files.Names()).setAside, NameUnits::Utf16))
        ADD_FAILURE() << "stray file " << Utf8(file);
  }
}

/// A new version its publisher still holds open is still being published:
/// no box, the old program starts, the next start installs it.
TEST_F(Runs, ASourceHeldOpenByItsPublisherWaitsForTheNextStart) {
  Child publisher = Child::Start(HelperPath(), L"--lock \"" + source + L"\" 60000", true);
  EXPECT_EQ(RunHere(Quoted(source) + " " + Quoted(installed) + " x", 1s), kExitStarted);
  EXPECT_TRUE(boxes.empty()) << boxes.at(0);
  EXPECT_TRUE(HasBytes(installed, oldBits));
  EXPECT_EQ(AwaitStarts(installed, 1).back(), Launched(installed, L"x (~!~)"));
  EXPECT_EQ(Leftovers(installed), "");
}

/// A first install makes the folders its path lacks, and none through a file.
TEST_F(Runs, FirstInstallMakesTheMissingFolders) {
  const std::wstring program = folder.path() + L"AppData\\Local\\Programs\\Mon Appli \u00e9\\appli.exe";
  EXPECT_EQ(RunHere(Quoted(source) + " " + Quoted(program) + " x", 1s), kExitStarted);
  EXPECT_TRUE(boxes.empty()) << boxes.at(0);
  EXPECT_TRUE(HasBytes(program, newBits));
  EXPECT_EQ(AwaitStarts(program, 1).back(), Launched(program, L"x"));
  EXPECT_EQ(RunHere(Quoted(source) + " " + Quoted(program + L"\\dessous\\autre.exe") + " x", 1s), kExitFailure);
  EXPECT_TRUE(HasBytes(program, newBits));
}

/// A run killed between its two renames left nothing under the program's
/// name and the old version aside; the share is out of reach. The next
/// start puts it back under its real name and starts it.
TEST_F(Runs, ProgramStrandedAsideStartsWithTheNewVersionOutOfReach) {
  ASSERT_TRUE(MoveFileW(installed.c_str(), (installed + L".quennel~0123456789abcdef.old").c_str()));
  ASSERT_TRUE(DeleteFileW(source.c_str()));
  const std::wstring spelled = Upper(installed);
  EXPECT_EQ(Start(spelled).Wait(60s), DWORD{0});
  EXPECT_TRUE(HasBytes(installed, oldBits));
  EXPECT_EQ(AwaitStarts(spelled, 1), std::vector{Launched(spelled, L"vite (~!~)")});
  EXPECT_EQ(std::ranges::count(NamesIn(folder.path(), L".exe"), installed.substr(folder.path().size())), 1);
  EXPECT_EQ(Leftovers(installed), "");
}

/// Past MAX_PATH, and within it with staging names that pass it: the new
/// version goes in with its time; it starts where the volume gives it a
/// short form (wine 8 starts no such program at all), else the box names it.
TEST_F(Runs, LongPathsAreInstalled) {
  std::wstring deep = LR"(\\?\)" + folder.path();
  std::vector<std::wstring> programs;
  for (int level = 0; level < 3; ++level) {
    deep += std::wstring(90, static_cast<wchar_t>(L'a' + level)) + L"\\";
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    if (level == 1) programs.push_back(deep + std::wstring(246 - (deep.size() - 4), L'p') + L".exe");
  }
  programs.push_back(deep + L"programme.exe");
  for (const std::wstring& program : programs) {
    SCOPED_TRACE(program.size() - 4);
    boxes.clear();
    WriteBytes(program, oldBits, 100);
    const int status = RunHere(Quoted(source) + " " + Quoted(program.substr(4)) + " x", 1s);
    EXPECT_TRUE(HasBytes(program, newBits)) << (boxes.empty() ? "" : boxes[0]);
    EXPECT_EQ(files.Stat(Utf8(program.substr(4))).modified, files.Stat(Utf8(source)).modified);
    if (status == kExitStarted) {
      EXPECT_EQ(AwaitStarts(program, 1).size(), 1u);
    } else {
      EXPECT_TRUE(boxes.at(0).ends_with("\r\n" + Quoted(program.substr(4)))) << boxes[0];
    }
  }
}

TEST_F(Runs, AttributesAndAccessRulesAreKept) {
  constexpr DWORD kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  for (const DWORD attributes :
       {DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN}, DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM}}) {
    SCOPED_TRACE(attributes);
    const std::wstring installed = folder.path() + L"prot\u00e9g\u00e9 " + std::to_wstring(attributes) + L".exe";
    WriteBytes(installed, oldBits, 100);
    // Everyone may read and run it, its owner may do everything; nothing inherited.
    SetRules(installed, L"D:P(A;;FA;;;OW)(A;;FRFX;;;WD)");
    ASSERT_TRUE(SetFileAttributesW(installed.c_str(), attributes));
    const std::wstring before = Rules(installed);

    EXPECT_EQ(RunHere(Quoted(source) + " " + Quoted(installed), 1s), kExitStarted);
    EXPECT_TRUE(boxes.empty()) << boxes.at(0);
    EXPECT_TRUE(HasBytes(installed, newBits));
    EXPECT_EQ(GetFileAttributesW(installed.c_str()) & kKept, attributes);
    EXPECT_EQ(Rules(installed), before);
  }
}

TEST_F(Runs, LinkedInstallReplacesWhatTheLinkNamesAndADanglingOneNothing) {
  const std::wstring link = folder.path() + L"lien.exe", dangling = folder.path() + L"pendant.exe";
  // Wine 8 says yes to CreateSymbolicLinkW but makes nothing.
  if (!CreateSymbolicLinkW(link.c_str(), installed.c_str(), 0) || !Exists(link)) GTEST_SKIP() << "no symbolic links";
  EXPECT_EQ(RunHere(Quoted(source) + " " + Quoted(link), 1s), kExitStarted);
  EXPECT_TRUE(HasBytes(installed, newBits));
  EXPECT_NE(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  ASSERT_TRUE(CreateSymbolicLinkW(dangling.c_str(), (folder.path() + L"absent.exe").c_str(), 0));
  RunHere(Quoted(source) + " " + Quoted(dangling), 1s);
  EXPECT_FALSE(Exists(folder.path() + L"absent.exe"));
}

}  // namespace
}  // namespace quennel::test
