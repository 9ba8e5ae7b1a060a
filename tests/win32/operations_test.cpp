/// The backend's operations on real files, each as the driver calls it.

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <cwchar>

#include "platform/win32/FileInfo.h"
#include "platform/win32/Handle.h"
#include "platform/win32/SystemError.h"
#include "platform/win32/Text.h"
#include "platform/win32/Win32Lock.h"
#include "platform/win32/Win32Process.h"
#include "tests/win32/Support.h"
#include "update/OwnNames.h"

namespace quennel::test {
namespace {

using win32::Handle;
using win32::Wide;

class Operations : public InstallTest {
protected:
  std::unique_ptr<Place> Here() { return files.Resolve(Utf8(installed), false); }
  /// A new file beside the program holding the new version, closed for writing.
  std::unique_ptr<NewFile> Staged(Place& place) {
    auto file = place.Create(place.Name() + ".quennel~0000000000000001.tmp");
    file->Write(reinterpret_cast<const unsigned char*>(newBits.data()), newBits.size());
    file->TakeProgramIdentity(files.Stat(Utf8(source)));
    file->CloseForWriting();
    return file;
  }
  /// The lock the driver takes for `path`.
  std::unique_ptr<HeldLock> LockOf(const std::wstring& path) {
    auto place = files.Resolve(Utf8(path), false);
    return place->Lock(LockFileName(place->Name(), files.Names()));
  }
  const std::wstring prefix = installed + L".quennel~";
};

TEST_F(Operations, CreateIsExclusiveAndGuardsItsFileUntilDiscarded) {
  auto place = Here();
  auto file = place->Create("copie.tmp");
  EXPECT_THROW(place->Create("copie.tmp"), ExistsError);
  EXPECT_THROW(place->Create(place->Name()), ExistsError);
  // Another run's clean-up cannot take it while it is written.
  EXPECT_FALSE(DeleteFileW((folder.path() + L"copie.tmp").c_str()));
  EXPECT_FALSE(file->CopyFrom(*files.OpenSource(Utf8(source)), 100).has_value());
  file->Write(reinterpret_cast<const unsigned char*>("abcdef"), 6);
  unsigned char read[2] = {};
  EXPECT_EQ(file->ReadAt(1, read, 2), 2u);
  EXPECT_EQ(std::string(read, read + 2), "bc");
  file->Write(reinterpret_cast<const unsigned char*>("gh"), 2);  // on at the end
  EXPECT_EQ(file->Status().size, 8u);
  file->Discard();
  EXPECT_FALSE(Exists(folder.path() + L"copie.tmp"));
}

TEST_F(Operations, StatusesOfOneFileAgreeAndReadsKeepWritersOut) {
  const auto opened = files.OpenSource(Utf8(source));
  const FileStatus status = opened->Status(), fresh = files.StatFresh(Utf8(source)), cheap = files.Stat(Utf8(source));
  EXPECT_NE(status.id, FileId{});
  EXPECT_NE(status.changed, FileStamp{});
  EXPECT_EQ(status.id, fresh.id);
  EXPECT_EQ(status.changed, fresh.changed);
  // Day 200 of 2001, 995,587,200 s after 1970.
  for (const FileStatus& each : {status, fresh, cheap}) {
    EXPECT_EQ(each.modified, (FileStamp{995'587'200, 0}));
    EXPECT_EQ(each.size, newBits.size());
  }
  EXPECT_TRUE(files.Stat(Utf8(folder.path())).folder());
  // Nobody writes the new version while it is copied.
  EXPECT_EQ(CreateFileW(source.c_str(), GENERIC_WRITE, win32::kShareAll, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  // A touch while it is open shows.
  const Handle touch(
      CreateFileW(source.c_str(), FILE_WRITE_ATTRIBUTES, win32::kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  const FILETIME later{0, 0x01D00000};
  ASSERT_TRUE(SetFileTime(touch.get(), nullptr, nullptr, &later));
  EXPECT_EQ(opened->Status().modified, files.StatFresh(Utf8(source)).modified);
  EXPECT_NE(opened->Status().modified, status.modified);
  std::string bytes(newBits.size() + 1, '\0');
  size_t got = 0;
  for (size_t n; (n = opened->Read(reinterpret_cast<unsigned char*>(bytes.data()) + got, bytes.size() - got)) > 0;)
    got += n;
  EXPECT_EQ(bytes.substr(0, got), newBits);

  EXPECT_EQ(Raised([&] { files.Stat(Utf8(folder.path() + L"absent \u00e9.exe")); }),
            "failed: " + win32::SystemText(ERROR_FILE_NOT_FOUND));
  EXPECT_THROW(files.OpenSource(Utf8(source + L".absent")), MissingError);
  // Beside the program: what the file system keeps of a time, to its 100 ns.
  const auto place = Here();
  EXPECT_EQ(place->Open(place->Name())->Status().id, files.StatFresh(Utf8(installed)).id);
  EXPECT_PRED2(Is, Raised([&] { place->Open("absent"); }), "missing");
  EXPECT_EQ(place->SetTime(place->Name(), {1'000'000'000, 123'456'789}), (FileStamp{1'000'000'000, 123'456'700}));
  EXPECT_THROW(files.Resolve(Utf8(folder.path() + L"absent\\q.exe"), false), PlatformError);
  EXPECT_THROW(files.ReadSmall(Utf8(source + L".minisig"), 100), MissingError);
  EXPECT_THROW(files.ReadSmall(Utf8(source), newBits.size() - 1), PlatformError);
  EXPECT_EQ(files.ReadSmall(Utf8(source), newBits.size()), newBits);
}

TEST_F(Operations, MoveToTellsWhatStandsInTheWay) {
  ASSERT_TRUE(CreateDirectoryW((folder.path() + L"dossier.exe").c_str(), nullptr));
  auto place = Here();
  auto staged = Staged(*place);
  const auto move = [&](const std::string& name, bool replace) {
    return Raised([&] { staged->MoveTo(name, replace); });
  };
  {
    Child running = RunProgram(installed, 60000);
    EXPECT_PRED2(Is, move(place->Name(), true), "running");
  }
  {
    Child holder = HoldFile(installed, 60000);
    EXPECT_PRED2(Is, move(place->Name(), true), "busy");
  }
  EXPECT_PRED2(Is, move("dossier.exe", true), "failed");  // a folder never goes by waiting
  EXPECT_PRED2(Is, move(place->Name(), false), "exists");
  EXPECT_TRUE(HasBytes(installed, oldBits));
  staged->MoveTo(place->Name(), true);
  EXPECT_TRUE(HasBytes(installed, newBits));
  EXPECT_EQ(NamesIn(folder.path()).size(), 1u);
}

TEST_F(Operations, SetAsideMovesARunningProgramAndPutsItBack) {
  std::optional<Child> running;
  running.emplace(RunProgram(installed, 60000));
  auto place = Here();
  const std::string aside = place->Name() + ".quennel~00000000000000aa.old";
  WriteBytes(folder.path() + L"pris.old", "x");
  EXPECT_THROW(place->SetAside("pris.old"), ExistsError);
  EXPECT_TRUE(place->SetAside(aside)->PutBack());
  EXPECT_TRUE(HasBytes(installed, oldBits));

  auto moved = place->SetAside(aside);
  EXPECT_FALSE(Exists(installed));
  Staged(*place)->MoveTo(place->Name(), false);
  moved->DeleteWhenUnused();  // it still runs: it stays
  moved.reset();
  EXPECT_TRUE(HasBytes(installed, newBits));
  EXPECT_TRUE(HasBytes(folder.path() + Wide(aside), oldBits));
  EXPECT_FALSE(running->Wait(0ms).has_value());
  EXPECT_FALSE(place->PutBack(aside));  // never over a file
  running.reset();
  ASSERT_TRUE(DeleteFileW(installed.c_str()));
  EXPECT_TRUE(place->PutBack(aside));
  EXPECT_TRUE(HasBytes(installed, oldBits));
  // Nothing runs it: it goes at once.
  moved = place->SetAside(aside);
  Staged(*place)->MoveTo(place->Name(), false);
  moved->DeleteWhenUnused();
  moved.reset();
  std::vector<std::wstring> names = NamesIn(folder.path());
  std::ranges::sort(names);
  EXPECT_EQ(names, (std::vector<std::wstring>{installed.substr(folder.path().size()), L"pris.old"}));
}

TEST(Process, StartsExactlyAndSaysWhatIsMissing) {
  win32::Win32Process process;
  EXPECT_EQ(Raised([&] { process.StartProgram(Utf8(ProgramFolder() + L"absent.exe"), ""); }),
            "missing: " + win32::SystemText(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(process.ExecutablePath().ends_with("\\win32_tests.exe")) << process.ExecutablePath();
  EXPECT_NE(process.RandomNumber(), process.RandomNumber());
}

TEST_F(Operations, ListedFilesAreRemovedOnlyWhileTheirNameLeadsToThem) {
  auto place = Here();
  WriteBytes(prefix + L"1.tmp", "a");
  WriteBytes(folder.path() + L"autre", "b");
  ASSERT_TRUE(CreateDirectoryW((prefix + L"2").c_str(), nullptr));
  WriteBytes(prefix + L"3.old", oldBits);
  Child running = RunProgram(prefix + L"3.old", 60000);
  ASSERT_TRUE(SetFileAttributesW((prefix + L"3.old").c_str(), FILE_ATTRIBUTE_READONLY));
  auto found = place->List(place->Name() + ".quennel~");
  std::ranges::sort(found, {}, &FoundFile::name);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].status.kind, FileKind::Regular);
  EXPECT_EQ(found[0].status.owner, files.Runner());
  EXPECT_NE(found[0].status.changed, FileStamp{});
  EXPECT_EQ(found[1].status.kind, FileKind::Folder);

  // Another file took the name meanwhile: it stays.
  ASSERT_TRUE(MoveFileExW((folder.path() + L"autre").c_str(), (prefix + L"1.tmp").c_str(), MOVEFILE_REPLACE_EXISTING));
  place->Remove(found[0]);
  EXPECT_TRUE(HasBytes(prefix + L"1.tmp", "b"));
  for (const FoundFile& each : place->List(place->Name() + ".quennel~")) place->Remove(each);
  EXPECT_FALSE(Exists(prefix + L"1.tmp"));
  // A running program cannot go: it stays as it was.
  EXPECT_EQ(GetFileAttributesW((prefix + L"3.old").c_str()) & FILE_ATTRIBUTE_READONLY, DWORD{FILE_ATTRIBUTE_READONLY});
  SetFileAttributesW((prefix + L"3.old").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Operations, LockIsOneForEverySpellingOnlyForReplacersAndAKillFreesIt) {
  const std::wstring lockFile = prefix + L"lock";
  {
    auto lock = LockOf(installed);
    ASSERT_NE(lock, nullptr);
    EXPECT_TRUE(lock->Stamp("42\n").has_value());
  }
  // Left in place for the next run, hidden, and open to nobody but those
  // who may replace the program: whoever can open it can lock it.
  EXPECT_TRUE(HasBytes(lockFile, "42\n"));
  EXPECT_NE(GetFileAttributesW(lockFile.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  const std::wstring rules = Rules(lockFile);
  for (const wchar_t* anyone : {L";WD)", L";BU)", L";AU)", L";IU)"})
    EXPECT_EQ(rules.find(anyone), std::wstring::npos) << Utf8(rules);
  // Only a lone file is a lock: never another name of a file, nor a folder.
  const std::wstring other = folder.path() + L"autre";
  WriteBytes(other, "x");
  ASSERT_TRUE(DeleteFileW(lockFile.c_str()) && CreateHardLinkW(lockFile.c_str(), other.c_str(), nullptr));
  EXPECT_EQ(LockOf(installed), nullptr);
  ASSERT_TRUE(DeleteFileW(lockFile.c_str()) && CreateDirectoryW(lockFile.c_str(), nullptr));
  EXPECT_EQ(LockOf(installed), nullptr);
  EXPECT_TRUE(HasBytes(other, "x"));
  ASSERT_TRUE(RemoveDirectoryW(lockFile.c_str()));

  std::optional<Child> holder;
  holder.emplace(Child::Start(HelperPath(), L"--lock \"" + lockFile + L"\" 30000", true));
  std::wstring upper = installed;
  CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
  EXPECT_THROW(LockOf(upper), BusyError);
  // Between the holder's two renames its program answers to no short name:
  // a name that leads nowhere then waits rather than take a lock of its
  // own, and so it does while the program is left aside for good. Found
  // again once it leads to the program, it takes the program's lock.
  wchar_t shorter[MAX_PATH] = {};
  ASSERT_TRUE(GetShortPathNameW(installed.c_str(), shorter, MAX_PATH) && std::wcsrchr(shorter, L'\\'));
  const std::wstring alias = folder.path() + (std::wcsrchr(shorter, L'\\') + 1);
  ASSERT_NE(alias, installed);
  const std::wstring aside = prefix + L"00000000000000aa.old";
  ASSERT_TRUE(MoveFileW(installed.c_str(), aside.c_str()));
  EXPECT_THROW(LockOf(alias), BusyError);
  holder.reset();  // killed: the system lets the lock go
  EXPECT_THROW(LockOf(alias), BusyError);
  const auto place = files.Resolve(Utf8(alias), false);
  ASSERT_TRUE(MoveFileW(aside.c_str(), installed.c_str()));
  EXPECT_THROW(place->Lock(LockFileName(place->Name(), files.Names())), BusyError);
  EXPECT_NE(LockOf(alias), nullptr);
  EXPECT_EQ(NamesIn(folder.path(), L"~lock"), std::vector<std::wstring>{lockFile.substr(folder.path().size())});
}

/// A lock file that lets others in is not one: while nobody has it open,
/// it is removed and made again with the replacers' list.
TEST_F(Operations, UntrustedLockFileIsMadeAgainOnceNobodyHoldsIt) {
  const std::wstring lockFile = prefix + L"lock";
  WriteBytes(lockFile, "planted");
  SetRules(lockFile, L"D:P(A;;FA;;;WD)");
  ASSERT_NE(Rules(lockFile).find(L";WD)"), std::wstring::npos) << Utf8(Rules(lockFile));
  {
    Child holder = Child::Start(HelperPath(), L"--lock \"" + lockFile + L"\" 30000", true);
    EXPECT_THROW(LockOf(installed), BusyError);
  }
  EXPECT_NE(LockOf(installed), nullptr);
  EXPECT_TRUE(HasBytes(lockFile, ""));  // another file: never this one given a list
  EXPECT_EQ(Rules(lockFile).find(L";WD)"), std::wstring::npos) << Utf8(Rules(lockFile));
}

/// A name that leads nowhere is a first install, unless it may be another
/// name of a program beside it whose name is free: then it waits.
TEST_F(Operations, FirstInstallWaitsOnlyWhileAnotherProgramIsAside) {
  const struct {
    const char* name;
    const wchar_t* file;  // Quennel's file beside
    bool present, held;   // its program; another run holding it
    bool waits;
  } cases[] = {
      {"a lock file left from earlier", L"autre.exe.quennel~lock", false, false, false},
      {"a lock held, its program's name free", L"autre.exe.quennel~lock", false, true, true},
      {"another program's update", L"autre.exe.quennel~lock", true, true, false},
      {"a program set aside, its name free", L"autre.exe.quennel~0123456789abcdef.old", false, false, true},
      {"an old copy of a program in place", L"autre.exe.quennel~0123456789abcdef.old", true, false, false},
      {"a copy of its own, to put back", L"nouveau.exe.quennel~0123456789abcdef.old", false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring place = folder.path() + Wide(c.name) + L"\\";
    ASSERT_TRUE(CreateDirectoryW(place.c_str(), nullptr));
    if (c.present) WriteBytes(place + L"autre.exe", oldBits);
    WriteBytes(place + c.file, "");
    std::optional<Child> holder;
    if (c.held) holder.emplace(Child::Start(HelperPath(), L"--lock \"" + place + c.file + L"\" 30000", true));
    EXPECT_EQ(Is(Raised([&] { LockOf(place + L"nouveau.exe"); }), "busy"), c.waits);
    EXPECT_EQ(Exists(place + L"nouveau.exe.quennel~lock"), !c.waits);
  }
}

TEST_F(Operations, TrustedKeysAreBelievedOnlyWhereOnlyTheirOwnersMayChangeThem) {
  const std::wstring keys = folder.path() + L"cl\u00e9s\\";
  ASSERT_TRUE(CreateDirectoryW(keys.c_str(), nullptr) && CreateDirectoryW((keys + L"dossier").c_str(), nullptr));
  WriteBytes(keys + L"a.pub", "cle");
  WriteBytes(keys + L"b.pub", "autre");
  SetRules(keys + L"a.pub", L"D:P(A;;FA;;;BA)(A;;FR;;;WD)");
  SetRules(keys + L"b.pub", L"D:P(A;;FA;;;WD)");
  const GuardedText read = files.ReadGuarded(Utf8(keys + L"a.pub"), 3);
  EXPECT_EQ(read.text, "cle");
  EXPECT_EQ(read.guard, Guard::Safe);
  EXPECT_EQ(files.ReadGuarded(Utf8(keys + L"b.pub"), 100).guard, Guard::Unsafe);
  // No safer than its folder: whoever may delete there may put another in its place.
  WriteBytes(keys + L"dossier\\a.pub", "cle");
  SetRules(keys + L"dossier\\a.pub", L"D:P(A;;FA;;;BA)(A;;FR;;;WD)");
  EXPECT_EQ(files.ReadGuarded(Utf8(keys + L"dossier\\a.pub"), 3).guard, Guard::Safe);
  SetRules(keys + L"dossier", L"D:P(A;;FA;;;BA)(A;;FA;;;WD)");
  EXPECT_EQ(files.ReadGuarded(Utf8(keys + L"dossier\\a.pub"), 3).guard, Guard::Unsafe);
  EXPECT_EQ(files.Examine(Utf8(keys + L"b.pub")), Guard::Unsafe);
  EXPECT_EQ(files.Examine(Utf8(keys + L"absent")), std::nullopt);
  EXPECT_THROW(files.ReadGuarded(Utf8(keys + L"absent"), 100), MissingError);
  EXPECT_THROW(files.ReadGuarded(Utf8(keys + L"a.pub"), 2), PlatformError);
  std::vector<std::string> names = files.ListFiles(Utf8(keys));
  std::ranges::sort(names);
  EXPECT_EQ(names, (std::vector<std::string>{"a.pub", "b.pub"}));
  EXPECT_THROW(files.ListFiles(Utf8(keys + L"absent")), MissingError);
  EXPECT_EQ(files.TrustPlaces().list, Utf8(ProgramFolder() + L"trusted-keys.txt"));
}

}  // namespace
}  // namespace quennel::test
