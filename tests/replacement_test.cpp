/// The rules of a replacement, on the fake files: a failure at any step,
/// a source that changes under the copy, the set-aside and its put-back,
/// what the lock's holder clears, the time kept, the boxes' title.

#include <gtest/gtest.h>

#include <climits>
#include <new>

#include "tests/FakePlatform.h"
#include "update/OwnNames.h"

namespace quennel {
namespace {

using testing::FakeFile;
using testing::FakePlatform;

constexpr const char* kSource = "S:\\NEW\\PROG.EXE";
constexpr const char* kDest = "C:\\APP\\PROG.EXE";
constexpr const char* kContext = "\r\nCopy S:\\NEW\\PROG.EXE, C:\\APP\\PROG.EXE";
constexpr const char* kMarked = "\"C:\\APP\\PROG.EXE\" /x (~!~)";

void Install(FakePlatform& platform) {
  platform.process.tail = "\"S:\\NEW\\PROG.EXE\" \"C:\\APP\\PROG.EXE\" /x";
  platform.files.files[kSource] = {"new bits", {200}, false, {150}, {1, 1}};
  platform.files.files[kDest] = {"old bits", {100}};
}

/// The old program is there as it was, nothing of ours beside it, and it
/// started with the marker after one box saying `error`.
void ExpectKeptAfter(FakePlatform& platform, const std::string& error) {
  EXPECT_EQ(platform.files.files[kDest].data, "old bits");
  EXPECT_EQ(platform.files.files[kDest].time, FileStamp{100});
  EXPECT_EQ(platform.files.OwnFilesBeside(kDest), std::vector<std::string>{});
  EXPECT_EQ(platform.process.started.value_or(""), kMarked);
  EXPECT_EQ(platform.screen.beeps, 1);
  ASSERT_EQ(platform.screen.messages.size(), 1u);
  EXPECT_EQ(platform.screen.messages[0].text, error + kContext);
}

/// Whatever step fails, and however (even out of memory), the staging file
/// goes, the old program stays and starts with the marker after the box.
TEST(FailedStep, LeavesTheOldProgram) {
  const char* const steps[] = {"Resolve", "CheckIdentityCanBeGiven", "OpenSource", "Create", "Read", "Write",
                               "TakeProgramIdentity", "SetTime", "Flush", "CloseForWriting", "MoveTo"};
  for (const char* step : steps) {
    SCOPED_TRACE(step);
    FakePlatform platform;
    Install(platform);
    platform.files.failures[step] = "Erreur d'entrée/sortie";
    EXPECT_EQ(platform.Run(), kExitStarted);
    ExpectKeptAfter(platform, "Erreur d'entrée/sortie");
    EXPECT_EQ(platform.record.recorded.at(0).second.substr(0, 6), "échec");
  }
  FakePlatform platform;
  Install(platform);
  platform.files.before = [](const std::string& step) {
    if (step == "Write") throw std::bad_alloc();
  };
  EXPECT_EQ(platform.Run(), kExitStarted);
  ExpectKeptAfter(platform, std::bad_alloc().what());
}

/// A publisher changing the new version while it is copied: whatever it
/// changes, the copy is refused and nothing of it stays.
TEST(SourceChanged, DuringTheCopy) {
  const struct {
    const char* name;
    std::function<void(FakeFile&, std::map<std::string, FakeFile>&)> change;
  } cases[] = {
      {"grown", [](FakeFile& f, auto&) { f.data += "more"; }},
      {"rewritten with a new time", [](FakeFile& f, auto&) { f.data[0] = 'N', f.time = {300}; }},
      {"rewritten, its time put back", [](FakeFile& f, auto&) { f.data[0] = 'N', f.changed = {160}; }},
      {"replaced by a file of the same size and time",
       [](FakeFile& f, auto&) { f = {"NEW BITS", {200}, false, {150}, {2, 2}}; }},
      {"removed", [](FakeFile&, auto& files) { files.erase(kSource); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    Install(platform);
    platform.files.readChunk = 3;
    int reads = 0;
    platform.files.before = [&](const std::string& step) {
      if (step == "Read" && ++reads == 2) c.change(platform.files.files[kSource], platform.files.files);
    };
    EXPECT_EQ(platform.Run(), kExitStarted);
    ExpectKeptAfter(platform, "Le fichier source a changé pendant la copie.");
  }
}

/// A running program is set aside, and the new version takes its name; if
/// that fails, the old one goes back, and where even that fails, the box
/// and the record say where it waits, and the next start puts it back.
TEST(SetAside, SecondRenameFails) {
  for (const bool putBackFails : {false, true}) {
    SCOPED_TRACE(putBackFails ? "put back fails" : "put back");
    FakePlatform platform;
    Install(platform);
    platform.files.busyCommits = -1;
    platform.files.busyRunning = true;
    platform.files.before = [&](const std::string& step) {
      const auto& events = platform.journal.events;
      if (step == "MoveTo" && std::find(events.begin(), events.end(), "set aside") != events.end())
        throw PlatformError("Accès refusé.");
    };
    if (putBackFails) platform.files.failures["PutBack"] = "refusé";

    const int status = platform.Run();

    const std::string aside = "PROG.EXE.quennel~0000000000001235.old";
    if (!putBackFails) {
      EXPECT_EQ(status, kExitStarted);
      ExpectKeptAfter(platform, "Accès refusé.");
      continue;
    }
    const std::string error = "Accès refusé.\r\nL'ancienne version n'a pas pu reprendre sa place : elle attend sous "
                              "le nom " + aside + ", où la remettra le prochain démarrage.";
    EXPECT_EQ(status, kExitFailure);  // nothing under the program's name to start
    ASSERT_EQ(platform.screen.messages.size(), 1u);
    EXPECT_EQ(platform.screen.messages[0].text, error + kContext);
    EXPECT_EQ(platform.record.recorded.at(0).second.substr(platform.record.recorded.at(0).second.find("cause")),
              "cause : Accès refusé.\\x0D\\x0AL'ancienne version n'a pas pu reprendre sa place : elle attend sous "
              "le nom " + aside + ", où la remettra le prochain démarrage.");
    EXPECT_EQ(platform.files.files.count("C:\\APP\\" + aside), 1u);

    // The next start, the source now out of reach, finds it and starts it.
    platform.files.failures.clear();
    platform.files.before = nullptr;
    platform.files.files.erase(kSource);
    platform.screen.messages.clear();
    EXPECT_EQ(platform.Run(), kExitStarted);
    EXPECT_EQ(platform.files.files[kDest].data, "old bits");
    EXPECT_EQ(platform.process.started.value_or(""), kMarked);
  }
}

/// A killed run's set-aside copy goes back before the decision, when it
/// could be ours: the newest of those in the exact form that belong to the
/// system, the folder's owner or the runner; another user's look-alike
/// stays where it is.
TEST(Stranded, OnlyACopyThatCouldBeOursGoesBack) {
  const auto aside = [](std::uint64_t random) {
    return "C:\\APP\\" + OwnFileName("PROG.EXE", {"", ".old"}, HexDigits(random), NameUnits::Utf16);
  };
  const struct {
    const char* name;
    std::vector<std::pair<std::string, FakeFile>> beside;
    const char* restored;  // bytes back in place; nullptr: nothing
  } cases[] = {
      {"the runner's", {{aside(1), {"mine", {100}, false, {}, {}, "1000"}}}, "mine"},
      {"the system's", {{aside(1), {"system's", {100}, false, {}, {}, "system"}}}, "system's"},
      {"the folder owner's", {{aside(1), {"folder's", {100}, false, {}, {}, "0"}}}, "folder's"},
      {"another user's", {{aside(1), {"planted", {9'000'000'000}, false, {}, {}, "2000"}}}, nullptr},
      {"the newest of two",
       {{aside(1), {"older", {100}, false, {1'000'000}, {}, "1000"}},
        {aside(2), {"newer", {150}, false, {1'000'000}, {}, "1000"}}},
       "newer"},
      {"not quite our form", {{"C:\\APP\\PROG.EXE.quennel~3412000000000ABC.old", {"odd", {100}}}}, nullptr},
      {"a folder", {{aside(1), {"", {100}, true}}}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    platform.process.tail = "\"S:\\NEW\\PROG.EXE\" \"C:\\APP\\PROG.EXE\" /x";
    for (const auto& [path, file] : c.beside) platform.files.files[path] = file;

    EXPECT_EQ(platform.Run(), c.restored ? kExitStarted : kExitFailure);

    EXPECT_EQ(platform.files.files.count(kDest) ? platform.files.files[kDest].data : "<none>",
              c.restored ? c.restored : "<none>");
    EXPECT_EQ(platform.files.OwnFilesBeside(kDest).size(), c.beside.size() - (c.restored ? 1 : 0));
  }
}

/// What the lock's holder clears beside the program: only its own stale
/// files of this program, in their exact form; times compared as pairs, so
/// no change time, however far, overflows.
TEST(Leftovers, OnlyOurOwnOldFilesOfThisProgram) {
  const FileStamp now{1'000'000, 500};  // the lock file's change time
  const auto before = [&](std::int64_t seconds, std::int32_t nanoseconds = 0) {
    return FileStamp{now.seconds - seconds, now.nanoseconds - nanoseconds};
  };
  const std::string tmp = "PROG.EXE.quennel~00112233445566ff.tmp";
  const struct {
    const char* name;
    std::string file;
    FileStamp changed;
    std::string owner = "1000";
    bool cleared;
    bool administrator = false;
    bool folder = false;
  } cases[] = {
      {"ours, eleven minutes old", tmp, before(660), "1000", true},
      {"another user's", tmp, before(660), "2000", false},
      {"another user's, cleared by an administrator", tmp, before(660), "2000", true, true},
      {"nine minutes old", tmp, before(540), "1000", false},
      {"ten minutes to the nanosecond", tmp, before(600), "1000", false},
      {"a nanosecond over ten minutes", tmp, before(600, 1), "1000", true},
      {"changed after the lock (another clock)", tmp, before(-700), "1000", false},
      {"changed in the far past", tmp, {LLONG_MIN, 0}, "1000", true},
      {"changed in the far future", tmp, {LLONG_MAX, 999'999'999}, "1000", false},
      {"a signature on its way", "PROG.EXE.quennel~00112233445566ff.sig", before(660), "1000", true},
      {"an old version set aside", "PROG.EXE.quennel~00112233445566ff.old", before(660), "1000", true},
      {"capital letters", "PROG.EXE.quennel~00112233445566FF.tmp", before(660), "1000", false},
      {"fifteen digits", "PROG.EXE.quennel~00112233445566f.tmp", before(660), "1000", false},
      {"another program's", "PROG.EX.quennel~00112233445566ff.tmp", before(660), "1000", false},
      {"a folder", tmp, before(660), "1000", false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    Install(platform);
    platform.files.lockStamp = now;
    platform.files.administrator = c.administrator;
    platform.files.files["C:\\APP\\" + c.file] = {"left", {}, c.folder, c.changed, {}, c.owner};

    EXPECT_EQ(platform.Run(), kExitStarted);

    EXPECT_EQ(platform.files.files.count("C:\\APP\\" + c.file), c.cleared ? 0u : 1u);
    EXPECT_EQ(platform.files.files[kDest].data, "new bits");
  }
  // The POSIX form: hidden, no ending.
  FakePlatform platform;
  platform.files.names = {"/", false, NameUnits::Bytes, false};
  platform.process.suffix = "";
  platform.process.tail = "\"/srv/prog\" \"/opt/prog\"";
  platform.files.files["/srv/prog"] = {"new", {200}};
  platform.files.files["/opt/prog"] = {"old", {100}};
  for (const char* name : {".prog.quennel~00112233445566ff", ".prog.quennel~00112233445566ff.minisig",
                           ".prog.quennel~00112233445566ff.old", ".prog.quennel~backup"})
    platform.files.files[std::string("/opt/") + name] = {"left", {}, false, {0}};
  EXPECT_EQ(platform.Run(), kExitStarted);
  EXPECT_EQ(platform.files.removed,
            (std::vector<std::string>{".prog.quennel~00112233445566ff", ".prog.quennel~00112233445566ff.minisig"}));
  EXPECT_EQ(platform.files.lockNames, std::set<std::string>{".prog.quennel~lock"});
}

/// A file system with a coarse clock keeps the new version's time rounded
/// up, so the next start finds it as new as the source and copies nothing.
TEST(Times, RoundedUpOnACoarseClock) {
  FakePlatform platform;
  Install(platform);
  platform.files.files[kSource].time = {200, 5};
  platform.files.timeStep = 1'000'000'000;
  EXPECT_EQ(platform.Run(), kExitStarted);
  EXPECT_EQ(platform.files.files[kDest].time, (FileStamp{201, 0}));
  platform.journal.events.clear();
  EXPECT_EQ(platform.Run(), kExitStarted);
  EXPECT_EQ(platform.process.started.value_or(""), kMarked);
  EXPECT_EQ(std::count(platform.journal.events.begin(), platform.journal.events.end(), "replaced"), 0);
}

/// Only a first install makes the folders its path lacks.
TEST(FirstInstall, MakesTheMissingFolders) {
  for (const bool installed : {false, true}) {
    FakePlatform platform;
    Install(platform);
    if (!installed) platform.files.files.erase(kDest);
    EXPECT_EQ(platform.Run(), kExitStarted);
    EXPECT_EQ(platform.files.foldersAsked, !installed);
    EXPECT_EQ(platform.files.files[kDest].data, "new bits");
  }
}

/// The copy-error box is titled with the running program's base name.
TEST(Boxes, TitledWithTheExecutablesName) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\Program Files\\Quennel\\Quennel.exe", "Quennel"}, {"/usr/bin/quennel", "quennel"},
      {"/opt/v1.2/maj", "maj"}, {"/opt/q/.hidden", ".hidden"}, {"", "quennel"}};
  for (const auto& [path, title] : cases) {
    SCOPED_TRACE(path);
    FakePlatform platform;
    Install(platform);
    platform.process.executable = path;
    platform.files.failures["Create"] = "Accès refusé.";
    platform.Run();
    ASSERT_EQ(platform.screen.messages.size(), 1u);
    EXPECT_EQ(platform.screen.messages[0].title, title);
  }
}

}  // namespace
}  // namespace quennel
