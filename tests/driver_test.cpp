#include <gtest/gtest.h>

#include "tests/FakePlatform.h"
#include "update/Busy.h"
#include "update/RecordLine.h"

namespace quennel {
namespace {

using testing::FakeFile;
using testing::FakePlatform;

constexpr const char* kSource = "S:\\NEW\\PROG.EXE";
constexpr const char* kDest = "C:\\APP\\PROG.EXE";

std::string Tail(const std::string& source, const std::string& dest, const std::string& extra) {
  return "\"" + source + "\" \"" + dest + "\" " + extra;
}

/// One run of the decision table: which files exist, and what the user
/// ends up with.
struct DecisionCase {
  const char* name;
  const char* source;
  const char* dest;
  std::optional<FakeFile> sourceFile;
  std::optional<FakeFile> destFile;
  const char* suffix;
  // Expected.
  const char* started;  // nullptr: nothing could be started
  bool replaced;
  // The two paths as the decision stage completes them; nullptr: as given.
  const char* completedSource = nullptr;
  const char* completedDest = nullptr;
  const char* extra = "x";
};

const FakeFile kNew{"new bits", {200}};
const FakeFile kOld{"old bits", {100}};
const FakeFile kOlder{"new bits", {50}};
const FakeFile kSameTime{"other bits", {100}};
const FakeFile kFolder{"", {300}, true};
// Times that a count of nanoseconds in 64 bits cannot hold (before 1677-09-21,
// after 2262-04-11), and one nanosecond apart.
constexpr std::int64_t k1601 = -11'644'473'600, k1677 = -9'246'096'000, k2000 = 946'684'800,
                       k2300 = 10'413'792'000;
constexpr const char* kStarted = "\"C:\\APP\\PROG.EXE\" x";
constexpr const char* kMarked = "\"C:\\APP\\PROG.EXE\" x (~!~)";

const DecisionCase kDecisions[] = {
    {"source newer", kSource, kDest, kNew, kOld, ".EXE", kStarted, true},
    {"source older", kSource, kDest, kOlder, kOld, ".EXE", kMarked, false},
    {"equal times", kSource, kDest, kSameTime, kOld, ".EXE", kMarked, false},
    {"missing source", kSource, kDest, std::nullopt, kOld, ".EXE", kMarked, false},
    {"missing source and destination", kSource, kDest, std::nullopt, std::nullopt, ".EXE", nullptr, false},
    {"missing destination", kSource, kDest, kNew, std::nullopt, ".EXE", kStarted, true},
    {"same path", kDest, kDest, kNew, kOld, ".EXE", kMarked, false},
    {"source is a folder", kSource, kDest, kFolder, kOld, ".EXE", kMarked, false},
    {"suffix makes the paths equal", "C:\\APP\\PROG", kDest, kNew, kOld, ".EXE", kMarked, false, kDest},
    {"suffix added to both", "S:\\NEW\\PROG", "C:\\APP\\PROG", kNew, kOld, ".EXE", kStarted, true, kSource, kDest},
    {"dot in a folder name", "S:\\V1.0\\PROG", "C:\\V1.0\\PROG", kNew, kOld, ".EXE", "\"C:\\V1.0\\PROG\" x", true},
    {"no suffix on POSIX", "/srv/new/prog", "/opt/app/prog", kNew, kOld, "", "\"/opt/app/prog\" x", true},
    // This machine's clock says 2030: a date ahead of it is not due yet,
    // and an installed copy dated ahead yields to any version that is not.
    {"new version dated 2300: not due yet", kSource, kDest, {{"new bits", {k2300}}}, {{"old bits", {k2000}}}, ".EXE",
     kMarked, false},
    {"both dated 2300, the installed copy a nanosecond newer", kSource, kDest, {{"new bits", {k2300}}},
     {{"old bits", {k2300, 5}}}, ".EXE", kMarked, false},
    {"installed copy dated 2300, source 2000", kSource, kDest, {{"new bits", {k2000}}}, {{"old bits", {k2300, 5}}},
     ".EXE", kStarted, true},
    {"1677 is newer than 1601", kSource, kDest, {{"new bits", {k1677}}}, {{"old bits", {k1601, 999'999'999}}}, ".EXE",
     kStarted, true},
    {"one nanosecond newer", kSource, kDest, {{"new bits", {100, 1}}}, kOld, ".EXE", kStarted, true},
    // The start's exact command line: one space after the path, another before the marker.
    {"no arguments, installed", kSource, kDest, kNew, kOld, ".EXE", "\"C:\\APP\\PROG.EXE\" ", true, nullptr, nullptr,
     ""},
    {"no arguments, marker", kSource, kDest, kOlder, kOld, ".EXE", "\"C:\\APP\\PROG.EXE\"  (~!~)", false, nullptr,
     nullptr, ""},
};

TEST(Decision, Table) {
  for (const DecisionCase& c : kDecisions) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    platform.process.suffix = c.suffix;
    platform.process.tail = Tail(c.source, c.dest, c.extra);
    const std::string source = c.completedSource ? c.completedSource : c.source;
    const std::string dest = c.completedDest ? c.completedDest : c.dest;
    auto& files = platform.files.files;
    if (c.destFile) files[dest] = *c.destFile;
    if (c.sourceFile && source != dest) files[source] = *c.sourceFile;
    const std::string before = c.destFile ? c.destFile->data : "";

    const int status = platform.Run();

    if (c.started) {
      EXPECT_EQ(status, kExitStarted);
      EXPECT_EQ(platform.process.started.value_or("<nothing>"), c.started);
    } else {
      EXPECT_EQ(status, kExitFailure);
      EXPECT_FALSE(platform.process.started.has_value());
      EXPECT_TRUE(platform.screen.report.has_value());
    }
    EXPECT_EQ(platform.journal.windowShown, c.replaced);
    EXPECT_EQ(platform.screen.beeps, c.replaced ? 2 : 0);
    EXPECT_TRUE(platform.screen.messages.empty());
    if (c.replaced) {
      EXPECT_EQ(files[dest].data, c.sourceFile->data);
      EXPECT_EQ(files[dest].time, c.sourceFile->time);
    } else if (c.destFile) {
      EXPECT_EQ(files[dest].data, before);
    }
    EXPECT_TRUE(platform.files.OwnFilesBeside(dest).empty());
    // One question to the file system per path: on a share each is a round trip.
    // A missing destination is asked again once its lock has settled it.
    for (const auto& [path, count] : platform.files.stats)
      EXPECT_EQ(count, (c.replaced ? 2 : 1) + (path == dest && !c.destFile)) << path;
  }
}

TEST(Decision, DestinationFolderFailsTheCopyAndTheStart) {
  FakePlatform platform;
  platform.process.tail = Tail(kSource, kDest, "");
  platform.files.files[kSource] = kNew;
  platform.files.files[kDest] = kFolder;
  EXPECT_EQ(platform.Run(), kExitFailure);
  EXPECT_TRUE(platform.journal.windowShown);
  ASSERT_EQ(platform.screen.messages.size(), 1u);
  EXPECT_EQ(platform.screen.messages[0].text, "Is a directory\r\nCopy S:\\NEW\\PROG.EXE, C:\\APP\\PROG.EXE");
  EXPECT_EQ(platform.screen.messages[0].style, MessageStyle::Warning);
  EXPECT_EQ(platform.screen.beeps, 1);
  EXPECT_TRUE(platform.files.files[kDest].directory);
  EXPECT_EQ(platform.screen.report.value_or(""), "Erreur d'exécution\r\ncannot start\r\n\"C:\\APP\\PROG.EXE\"");
}

/// A newer version waiting for an installed one, started with "/x".
void Install(FakePlatform& platform) {
  platform.process.tail = Tail(kSource, kDest, "/x");
  platform.files.files[kSource] = kNew;
  platform.files.files[kDest] = kOld;
}

TEST(Replacement, GoodCopy) {
  FakePlatform platform;
  Install(platform);
  platform.process.tail = Tail("S:\\NEW\\PROG", "C:\\APP\\PROG", "/x");
  EXPECT_EQ(platform.Run(), kExitStarted);
  EXPECT_EQ(platform.files.files[kDest].data, "new bits");
  EXPECT_EQ(platform.files.files[kDest].time, FileStamp{200});
  EXPECT_EQ(platform.files.files[kSource].data, "new bits");
  EXPECT_EQ(platform.process.started.value_or(""), "\"C:\\APP\\PROG.EXE\" /x");
  EXPECT_TRUE(platform.screen.messages.empty());
  EXPECT_FALSE(platform.screen.report.has_value());
  // The labels name both paths as the decision completed them.
  EXPECT_EQ(platform.screen.labels[0], "Installation de la nouvelle version de C:\\APP\\PROG.EXE");
  EXPECT_EQ(platform.screen.labels[1], "(Copie de S:\\NEW\\PROG.EXE dans C:\\APP\\PROG.EXE)");
  // The lock is let go before the start, so a waiting run finds the new version.
  const std::vector<std::string> expected = {"pointer busy", "show", "lock",  "beep",           "replaced",
                                             "unlock",       "beep", "start", "pointer default", "end 0"};
  EXPECT_EQ(platform.journal.events, expected);
  // The lock file is named after the program, and stamped with this run.
  EXPECT_EQ(platform.files.lockNames, std::set<std::string>{"PROG.EXE.quennel~lock"});
  EXPECT_EQ(platform.files.stamps, std::vector<std::string>{"4242\n"});
}

/// An installed program in use: busy for a while, for good, or running
/// (set aside after the grace unless it closes within it).
TEST(BusyDestination, Table) {
  using std::chrono::milliseconds;
  const struct {
    const char* name;
    int busyCommits;  // -1: for ever
    bool running;
    milliseconds limit;
    bool installed;
    bool setAside;
    milliseconds waitedAtLeast, waitedBelow;
    bool lockSupported = true;
  } cases[] = {
      {"released after a while", 5, false, kBusyWaitLimit, true, false, 5 * kBusyRetryPause,
       5 * kBusyRetryPause + milliseconds(1)},
      {"busy for good: gives up at the bound", -1, false, milliseconds(1000), false, false, milliseconds(1000),
       milliseconds(1000) + kBusyRetryPause + milliseconds(1)},
      {"running: set aside after the grace", -1, true, kBusyWaitLimit, true, true, kSetAsideGrace,
       kSetAsideGrace + kBusyRetryPause + milliseconds(1)},
      {"running, closes within the grace", 10, true, kBusyWaitLimit, true, false, milliseconds(0), kSetAsideGrace},
      // Another run may be setting it aside at the same moment.
      {"running, no lock to be had: never set aside", -1, true, milliseconds(3000), false, false, milliseconds(3000),
       milliseconds(3000) + kBusyRetryPause + milliseconds(1), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    Install(platform);
    platform.files.busyCommits = c.busyCommits;
    platform.files.busyRunning = c.running;
    platform.files.lockSupported = c.lockSupported;

    EXPECT_EQ(platform.Run(c.limit), kExitStarted);

    EXPECT_EQ(platform.files.files[kDest].data, c.installed ? "new bits" : "old bits");
    // The set-aside copy stays while it runs, under a name of the exact form.
    const std::vector<std::string> own = platform.files.OwnFilesBeside(kDest);
    EXPECT_EQ(own, c.setAside ? std::vector<std::string>{"PROG.EXE.quennel~0000000000001235.old"}
                              : std::vector<std::string>{});
    // Slept between tries instead of spinning, and within the bound.
    EXPECT_GE(platform.journal.waited, c.waitedAtLeast);
    EXPECT_LT(platform.journal.waited, c.waitedBelow);
    if (c.installed) {
      EXPECT_EQ(platform.process.started.value_or(""), "\"C:\\APP\\PROG.EXE\" /x");
      EXPECT_TRUE(platform.screen.messages.empty());
      EXPECT_EQ(platform.screen.beeps, 2);
    } else {
      ASSERT_EQ(platform.screen.messages.size(), 1u);
      EXPECT_EQ(platform.screen.messages[0].text,
                (c.running ? std::string("Le fichier est utilisé par un programme en cours.")
                           : std::string("Le processus ne peut pas accéder au fichier.")) +
                    "\r\nCopy S:\\NEW\\PROG.EXE, C:\\APP\\PROG.EXE");
      EXPECT_EQ(platform.process.started.value_or(""), "\"C:\\APP\\PROG.EXE\" /x (~!~)");
      EXPECT_EQ(platform.screen.beeps, 1);
    }
  }
}

/// Runs that coincide: how the lock's state and what its holder did decide
/// what this run installs and how it starts the program.
TEST(SimultaneousRuns, Table) {
  const struct {
    const char* name;
    int lockBusyTries;  // -1: held for ever
    bool lockSupported;
    bool holderInstalls;  // the holder puts this very version in meanwhile
    const char* started;
    const char* installed;  // what the destination holds at the end
  } cases[] = {
      {"free", 0, true, false, "\"C:\\APP\\PROG.EXE\" /x", "new bits"},
      {"no lock on this system", 0, false, false, "\"C:\\APP\\PROG.EXE\" /x", "new bits"},
      {"held, holder installs the same version", 3, true, true, "\"C:\\APP\\PROG.EXE\" /x (~!~)", "new bits"},
      {"held, holder installs nothing", 3, true, false, "\"C:\\APP\\PROG.EXE\" /x", "new bits"},
      {"held for ever", -1, true, false, "\"C:\\APP\\PROG.EXE\" /x (~!~)", "old bits"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    Install(platform);
    platform.files.lockBusyTries = c.lockBusyTries;
    platform.files.lockSupported = c.lockSupported;
    if (c.holderInstalls) platform.files.whileLockHeld = [&] { platform.files.files[kDest] = kNew; };

    EXPECT_EQ(platform.Run(std::chrono::seconds(5)), kExitStarted);

    EXPECT_EQ(platform.process.started.value_or("<nothing>"), c.started);
    EXPECT_EQ(platform.files.files[kDest].data, c.installed);
    EXPECT_TRUE(platform.files.OwnFilesBeside(kDest).empty());
    const bool heldForEver = c.lockBusyTries < 0;
    // Said once while waiting, however long the wait.
    EXPECT_EQ(platform.screen.notices,
              c.lockBusyTries != 0 ? std::vector<std::string>{"Une autre mise à jour de C:\\APP\\PROG.EXE est en "
                                                              "cours : attente de sa fin."}
                                   : std::vector<std::string>{});
    ASSERT_EQ(platform.screen.messages.size(), heldForEver ? 1u : 0u);
    if (heldForEver) {
      EXPECT_EQ(platform.screen.messages[0].text,
                "Une autre mise à jour de C:\\APP\\PROG.EXE est toujours en cours : la nouvelle version n'a pas "
                "été installée.\r\nCopy S:\\NEW\\PROG.EXE, C:\\APP\\PROG.EXE");
      EXPECT_GE(platform.journal.waited, std::chrono::seconds(5));
    }
  }
}

/// A program still open for writing elsewhere, or not there yet (another
/// run between its two renames), is tried again for a moment; past that,
/// the report names it.
TEST(Launch, PassingRefusalsAreTriedAgainBriefly) {
  using std::chrono::milliseconds;
  const struct {
    const char* name;
    int busyTries, missingTries;  // -1: for ever
    const char* report;           // nullptr: started
    milliseconds waitedAtLeast, waitedBelow;
  } cases[] = {
      {"busy a moment", 3, 0, nullptr, 3 * kBusyRetryPause, 3 * kBusyRetryPause + milliseconds(1)},
      {"missing a moment", 0, 3, nullptr, 3 * kBusyRetryPause, 3 * kBusyRetryPause + milliseconds(1)},
      {"busy for good", -1, 0, "Text file busy", kStartBusyLimit, kStartBusyLimit + kBusyRetryPause + milliseconds(1)},
      {"missing for good", 0, -1, "No such file or directory", kStartMissingLimit,
       kStartMissingLimit + kBusyRetryPause + milliseconds(1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    Install(platform);
    platform.files.files.erase(kSource);
    platform.process.startBusyTries = c.busyTries;
    platform.process.startMissingTries = c.missingTries;

    const int status = platform.Run();

    EXPECT_GE(platform.journal.waited, c.waitedAtLeast);
    EXPECT_LT(platform.journal.waited, c.waitedBelow);
    if (!c.report) {
      EXPECT_EQ(status, kExitStarted);
      EXPECT_EQ(platform.process.started.value_or(""), "\"C:\\APP\\PROG.EXE\" /x (~!~)");
    } else {
      EXPECT_EQ(status, kExitFailure);
      EXPECT_FALSE(platform.process.started.has_value());
      EXPECT_EQ(platform.screen.report.value_or(""),
                std::string("Erreur d'exécution\r\n") + c.report + "\r\n\"C:\\APP\\PROG.EXE\"");
    }
  }
}

/// Start-up's runner: a failure nothing handled, even one that is no
/// platform error, becomes the report under its heading, and status 1.
TEST(Runner, ReportsAnyFailure) {
  FakePlatform platform;
  Install(platform);
  platform.process.startFailure = "plus de mémoire";
  EXPECT_EQ(platform.Run(), kExitFailure);
  EXPECT_EQ(platform.journal.events.back(), "end 1");
  EXPECT_EQ(platform.screen.report.value_or(""), "Erreur d'exécution\r\nplus de mémoire");
  EXPECT_EQ(platform.screen.reportTitle, "Quennel");
}

/// The administrator's record: which runs leave which line in the system
/// log; a record that cannot be written changes nothing else.
TEST(Record, WhatEachRunLeaves) {
  const std::string odd = "C:\\APP\\PROG\ninstallé : .EXE",
                    facts = ", source \"S:\\NEW\\PROG.EXE\", 8 octets, modifié le 1970-01-01 00:03:20.000000000 UTC, "
                            "utilisateur 1000",
                    installed = "destination \"C:\\APP\\PROG.EXE\"" + facts;
  using Lines = std::vector<std::pair<RecordKind, std::string>>;
  const struct { const char* name; std::function<void(FakePlatform&)> setUp; Lines expected; } cases[] = {
      {"installed", [](FakePlatform&) {}, {{RecordKind::Installed, "installé : " + installed}}},
      // A beep is never the update's failure.
      {"installed, the beep failing", [](FakePlatform& p) { p.screen.beepFails = true; },
       {{RecordKind::Installed, "installé : " + installed}}},
      {"up to date", [](FakePlatform& p) { p.files.files[kSource].time = {50}; }, {}},
      {"copy failed", [](FakePlatform& p) { p.files.failures["Create"] = "Accès refusé."; },
       {{RecordKind::Failed, "échec : " + installed + " ; cause : Accès refusé."}}},
      {"another update for good", [](FakePlatform& p) { p.files.lockBusyTries = -1; },
       {{RecordKind::GaveUp, "abandon : " + installed + " ; cause : Une autre mise à jour de C:\\APP\\PROG.EXE est "
                             "toujours en cours : la nouvelle version n'a pas été installée."}}},
      {"another update put it in",
       [](FakePlatform& p) {
         p.files.lockBusyTries = 2, p.files.whileLockHeld = [&p] { p.files.files[kDest].time = {200}; };
       },
       {}},
      {"malformed command line", [](FakePlatform& p) { p.process.tail = "\"a\"\t\"b\"\n"; },
       {{RecordKind::Usage, "syntaxe : utilisateur 1000 ; ligne de commande : \"a\"\\x09\"b\"\\x0A"}}},
      {"a folder in the program's place", [](FakePlatform& p) { p.files.files[kDest].directory = true; },
       {{RecordKind::Failed, "échec : " + installed + " ; cause : Is a directory"},
        {RecordKind::NotStarted,
         "démarrage : destination \"C:\\APP\\PROG.EXE\", utilisateur 1000 ; cause : cannot start"}}},
      {"unsigned where keys are trusted",
       [](FakePlatform& p) {
         p.files.trustPaths = TrustPaths{"C:\\Q\\keys", "C:\\Q\\keys.d"};
         p.files.files["C:\\Q\\keys"] = {"RWQBAQEBAQEBAQICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgIC"};
       },
       {{RecordKind::Refused, "refusé : " + installed + " ; cause : La nouvelle version n'est pas signée, il manque : "
                              "S:\\NEW\\PROG.EXE.minisig"}}},
      {"a line break in a file name",
       [&](FakePlatform& p) { p.process.tail = Tail(kSource, odd, ""), p.files.files[odd] = kOld; },
       {{RecordKind::Installed, "installé : destination \"C:\\APP\\PROG\\x0Ainstallé : .EXE\"" + facts}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform, unrecorded;
    Install(platform);
    Install(unrecorded);
    c.setUp(platform);
    c.setUp(unrecorded);
    unrecorded.record.fails = true;

    EXPECT_EQ(unrecorded.Run(), platform.Run());

    EXPECT_EQ(platform.record.recorded, c.expected);
    EXPECT_TRUE(unrecorded.record.recorded.empty());
    EXPECT_EQ(unrecorded.journal.events, platform.journal.events);  // boxes, beeps, start and end alike
    for (const auto& [path, file] : platform.files.files)
      EXPECT_EQ(unrecorded.files.files[path].data, file.data) << path;
  }
}

/// Nothing in a file name or an error text can end a recorded line, forge
/// another or make it read backwards; a line too long for a log is cut
/// between two characters, never inside an escape.
TEST(Record, EscapesCutsAndTimes) {
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\APP\\prog é 中.exe", "C:\\APP\\prog é 中.exe"},
      {"a\nb\rc\td\x1B[31m\x7F", "a\\x0Ab\\x0Dc\\x09d\\x1B[31m\\x7F"},
      // NEL, LS, PS; bytes that are no UTF-8 (a lone surrogate, an overlong form)
      {"\xC2\x85\xE2\x80\xA8\xE2\x80\xA9|\xFF|\xC3(|\xED\xA0\x80|\xE0\x80\xAF",
       "\\xC2\\x85\\xE2\\x80\\xA8\\xE2\\x80\\xA9|\\xFF|\\xC3(|\\xED\\xA0\\x80|\\xE0\\x80\\xAF"},
      // RLO, LRM, RLM, FSI, PDI: the bidirectional controls
      {"a\u202Eexe.txt\u200E\u200F\u2068\u2069", "a\\xE2\\x80\\xAEexe.txt\\xE2\\x80\\x8E\\xE2\\x80\\x8F"
                                                 "\\xE2\\x81\\xA8\\xE2\\x81\\xA9"},
      {"C:\\x\\x0A", "C:\\x5Cx\\x5Cx0A"},  // looks like an escape: told apart
  };
  for (const auto& [text, escaped] : cases) EXPECT_EQ(EscapeForRecord(text), escaped);

  RecordFacts facts;
  facts.destination = std::string(kRecordLineLimit - 32, 'e');
  for (int i = 0; i < 100; ++i) facts.destination += "é";
  std::string line = RecordLine(RecordKind::Installed, facts);
  EXPECT_EQ(line.size(), kRecordLineLimit - 1);
  EXPECT_TRUE(line.ends_with("e […]"));
  // Escapes across the cut: the last one whole or not at all.
  for (std::size_t shift = 0; shift < 4; ++shift) {
    facts.destination = std::string(kRecordLineLimit - 40 + shift, 'e') + std::string(40, '\n');
    line = RecordLine(RecordKind::Installed, facts);
    EXPECT_TRUE(line.ends_with("\\x0A […]") || line.ends_with("e […]")) << line.substr(line.size() - 20);
    EXPECT_LE(line.size(), kRecordLineLimit);
  }

  const std::pair<FileStamp, const char*> times[] = {{{-1, 999'999'999}, "1969-12-31 23:59:59.999999999"},
                                                     {{951'782'400, 5}, "2000-02-29 00:00:00.000000005"},
                                                     {{-11'644'473'600}, "1601-01-01 00:00:00.000000000"}};
  for (const auto& [time, text] : times) EXPECT_EQ(RecordTime(time), text);
}

}  // namespace
}  // namespace quennel
