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
    {"new version dated 2300", kSource, kDest, {{"new bits", {k2300}}}, {{"old bits", {k2000}}}, ".EXE", kStarted,
     true},
    {"installed copy dated 2300, a nanosecond newer", kSource, kDest, {{"new bits", {k2300}}},
     {{"old bits", {k2300, 5}}}, ".EXE", kMarked, false},
    {"installed copy dated 2300, source 2000", kSource, kDest, {{"new bits", {k2000}}}, {{"old bits", {k2300, 5}}},
     ".EXE", kMarked, false},
    {"1677 is newer than 1601", kSource, kDest, {{"new bits", {k1677}}}, {{"old bits", {k1601, 999'999'999}}}, ".EXE",
     kStarted, true},
    {"one nanosecond newer", kSource, kDest, {{"new bits", {100, 1}}}, kOld, ".EXE", kStarted, true},
};

TEST(Decision, Table) {
  for (const DecisionCase& c : kDecisions) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    platform.suffix = c.suffix;
    platform.tail = Tail(c.source, c.dest, "x");
    const std::string source = c.completedSource ? c.completedSource : c.source;
    const std::string dest = c.completedDest ? c.completedDest : c.dest;
    if (c.destFile) platform.files[dest] = *c.destFile;
    if (c.sourceFile && source != dest) platform.files[source] = *c.sourceFile;
    const std::string before = c.destFile ? c.destFile->data : "";

    const int status = platform.Run();

    if (c.started) {
      EXPECT_EQ(status, kExitStarted);
      EXPECT_EQ(platform.started.value_or("<nothing>"), c.started);
    } else {
      EXPECT_EQ(status, kExitFailure);
      EXPECT_FALSE(platform.started.has_value());
      EXPECT_TRUE(platform.report.has_value());
    }
    EXPECT_EQ(platform.windowShown, c.replaced);
    EXPECT_EQ(platform.beeps, c.replaced ? 2 : 0);
    EXPECT_TRUE(platform.messages.empty());
    if (c.replaced) {
      EXPECT_EQ(platform.files[dest].data, c.sourceFile->data);
      EXPECT_EQ(platform.files[dest].time, c.sourceFile->time);
    } else if (c.destFile) {
      EXPECT_EQ(platform.files[dest].data, before);
    }
    EXPECT_EQ(platform.files.count(dest + ".staged"), 0u);
    // One question to the file system per path: on a share each is a round trip.
    // A missing destination is asked again once its lock has settled it.
    for (const auto& [path, count] : platform.stats)
      EXPECT_EQ(count, (c.replaced ? 2 : 1) + (path == dest && !c.destFile)) << path;
  }
}

/// A run killed between its two renames left the program set aside: the
/// lock's holder puts it back before the decision, so it starts although
/// the new version is out of reach.
TEST(Decision, StrandedProgramIsPutBackBeforeDeciding) {
  FakePlatform platform;
  platform.tail = Tail(kSource, kDest, "x");
  platform.onLock = [&] { platform.files[kDest] = kOld; };
  EXPECT_EQ(platform.Run(), kExitStarted);
  EXPECT_EQ(platform.started.value_or("<nothing>"), kMarked);
}

TEST(Decision, DestinationFolderFailsTheCopyAndTheStart) {
  FakePlatform platform;
  platform.tail = Tail(kSource, kDest, "");
  platform.files[kSource] = kNew;
  platform.files[kDest] = kFolder;
  EXPECT_EQ(platform.Run(), kExitFailure);
  EXPECT_TRUE(platform.windowShown);
  ASSERT_EQ(platform.messages.size(), 1u);
  EXPECT_EQ(platform.messages[0].text, "Is a directory\r\nCopy S:\\NEW\\PROG.EXE, C:\\APP\\PROG.EXE");
  EXPECT_EQ(platform.messages[0].style, MessageStyle::Warning);
  EXPECT_EQ(platform.messages[0].title, "quennel");
  EXPECT_EQ(platform.beeps, 1);
  EXPECT_TRUE(platform.files[kDest].directory);
  EXPECT_EQ(platform.report.value_or(""), "Erreur d'exécution\r\ncannot start\r\n\"C:\\APP\\PROG.EXE\"");
}

/// The launch command line, exactly: one space after the quoted path, and
/// the marker after another space.
TEST(Launch, CommandLines) {
  struct Case {
    const char* extra;
    bool marker;
    const char* expected;
  } cases[] = {
      {"", false, "\"C:\\APP\\PROG.EXE\" "},
      {"", true, "\"C:\\APP\\PROG.EXE\"  (~!~)"},
      {"x y", true, "\"C:\\APP\\PROG.EXE\" x y (~!~)"},
      {"x y", false, "\"C:\\APP\\PROG.EXE\" x y"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    FakePlatform platform;
    platform.files[kDest] = kOld;
    F_Main form(platform.Parts());
    form.DestPath = kDest;
    form.ExtraArgs = c.extra;
    EXPECT_THROW(form.LaunchTarget(c.marker), testing::Ended);
    EXPECT_EQ(platform.started.value_or("<nothing>"), c.expected);
    // The pointer goes back to normal only once the program is started.
    ASSERT_GE(platform.events.size(), 3u);
    EXPECT_EQ(platform.events[platform.events.size() - 3], "start");
    EXPECT_EQ(platform.events[platform.events.size() - 2], "pointer default");
    EXPECT_EQ(platform.events.back(), "end 0");
  }
}

/// A newer version waiting for an installed one, started with "/x".
FakePlatform Installed() {
  FakePlatform platform;
  platform.tail = Tail(kSource, kDest, "/x");
  platform.files[kSource] = kNew;
  platform.files[kDest] = kOld;
  return platform;
}

TEST(Replacement, GoodCopy) {
  FakePlatform platform = Installed();
  EXPECT_EQ(platform.Run(), kExitStarted);
  EXPECT_EQ(platform.files[kDest].data, "new bits");
  EXPECT_EQ(platform.files[kDest].time, FileStamp{200});
  EXPECT_EQ(platform.files[kSource].data, "new bits");
  EXPECT_EQ(platform.started.value_or(""), "\"C:\\APP\\PROG.EXE\" /x");
  EXPECT_TRUE(platform.messages.empty());
  EXPECT_FALSE(platform.report.has_value());
  // The lock is let go before the start, so a waiting run finds the new version.
  const std::vector<std::string> expected = {"pointer busy", "show", "lock",  "beep",           "replaced",
                                             "unlock",       "beep", "start", "pointer default", "end 0"};
  EXPECT_EQ(platform.events, expected);
}

/// The labels name both paths as the decision completed them.
TEST(Replacement, WindowTexts) {
  FakePlatform platform = Installed();
  platform.tail = Tail("S:\\NEW\\PROG", "C:\\APP\\PROG", "");
  platform.Run();
  EXPECT_EQ(platform.labels[0], "Installation de la nouvelle version de C:\\APP\\PROG.EXE");
  EXPECT_EQ(platform.labels[1], "(Copie de S:\\NEW\\PROG.EXE dans C:\\APP\\PROG.EXE)");
}

TEST(Replacement, FailedCopyKeepsTheInstalledProgram) {
  FakePlatform platform = Installed();
  platform.copyError = "Accès refusé.";
  EXPECT_EQ(platform.Run(), kExitStarted);
  EXPECT_EQ(platform.files[kDest].data, "old bits");
  EXPECT_EQ(platform.files[kDest].time, FileStamp{100});
  EXPECT_EQ(platform.files.count(std::string(kDest) + ".staged"), 0u);
  EXPECT_EQ(platform.started.value_or(""), "\"C:\\APP\\PROG.EXE\" /x (~!~)");
  EXPECT_EQ(platform.beeps, 1);
  ASSERT_EQ(platform.messages.size(), 1u);
  EXPECT_EQ(platform.messages[0].text, "Accès refusé.\r\nCopy S:\\NEW\\PROG.EXE, C:\\APP\\PROG.EXE");
  EXPECT_EQ(platform.messages[0].style, MessageStyle::Warning);
  EXPECT_EQ(platform.messages[0].title, "quennel");
  EXPECT_TRUE(platform.messages[0].windowVisible);
  EXPECT_FALSE(platform.messages[0].lockHeld) << "a box left open would stall the other runs";
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
    FakePlatform platform = Installed();
    platform.busyCommits = c.busyCommits;
    platform.busyRunning = c.running;
    platform.lockSupported = c.lockSupported;

    EXPECT_EQ(platform.Run(c.limit), kExitStarted);

    EXPECT_EQ(platform.files[kDest].data, c.installed ? "new bits" : "old bits");
    EXPECT_EQ(platform.files.count(std::string(kDest) + ".old"), c.setAside ? 1u : 0u);
    EXPECT_EQ(platform.files.count(std::string(kDest) + ".staged"), 0u);
    // Slept between tries instead of spinning, and within the bound.
    EXPECT_GE(platform.waited, c.waitedAtLeast);
    EXPECT_LT(platform.waited, c.waitedBelow);
    if (c.installed) {
      EXPECT_EQ(platform.started.value_or(""), "\"C:\\APP\\PROG.EXE\" /x");
      EXPECT_TRUE(platform.messages.empty());
      EXPECT_EQ(platform.beeps, 2);
    } else {
      ASSERT_EQ(platform.messages.size(), 1u);
      EXPECT_EQ(platform.messages[0].text, platform.busyText + "\r\nCopy S:\\NEW\\PROG.EXE, C:\\APP\\PROG.EXE");
      EXPECT_EQ(platform.started.value_or(""), "\"C:\\APP\\PROG.EXE\" /x (~!~)");
      EXPECT_EQ(platform.beeps, 1);
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
    FakePlatform platform = Installed();
    platform.lockBusyTries = c.lockBusyTries;
    platform.lockSupported = c.lockSupported;
    if (c.holderInstalls) platform.whileLockHeld = [&] { platform.files[kDest] = kNew; };

    EXPECT_EQ(platform.Run(std::chrono::seconds(5)), kExitStarted);

    EXPECT_EQ(platform.started.value_or("<nothing>"), c.started);
    EXPECT_EQ(platform.files[kDest].data, c.installed);
    EXPECT_EQ(platform.files.count(std::string(kDest) + ".staged"), 0u);
    const bool heldForEver = c.lockBusyTries < 0;
    // Said once while waiting, however long the wait.
    EXPECT_EQ(platform.notices, c.lockBusyTries != 0 ? std::vector<std::string>{"Une autre mise à jour de "
                                                                                "C:\\APP\\PROG.EXE est en cours : "
                                                                                "attente de sa fin."}
                                                     : std::vector<std::string>{});
    ASSERT_EQ(platform.messages.size(), heldForEver ? 1u : 0u);
    if (heldForEver) {
      EXPECT_EQ(platform.messages[0].text,
                "Une autre mise à jour de C:\\APP\\PROG.EXE est toujours en cours : la nouvelle version n'a pas "
                "été installée.\r\nCopy S:\\NEW\\PROG.EXE, C:\\APP\\PROG.EXE");
      EXPECT_GE(platform.waited, std::chrono::seconds(5));
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
    FakePlatform platform = Installed();
    platform.files.erase(kSource);
    platform.startBusyTries = c.busyTries;
    platform.startMissingTries = c.missingTries;

    const int status = platform.Run();

    EXPECT_GE(platform.waited, c.waitedAtLeast);
    EXPECT_LT(platform.waited, c.waitedBelow);
    if (!c.report) {
      EXPECT_EQ(status, kExitStarted);
      EXPECT_EQ(platform.started.value_or(""), "\"C:\\APP\\PROG.EXE\" /x (~!~)");
    } else {
      EXPECT_EQ(status, kExitFailure);
      EXPECT_FALSE(platform.started.has_value());
      EXPECT_EQ(platform.report.value_or(""),
                std::string("Erreur d'exécution\r\n") + c.report + "\r\n\"C:\\APP\\PROG.EXE\"");
    }
  }
}

/// Start-up's runner: a failure nothing handled, even one that is no
/// platform error, becomes the report under its heading, and status 1.
TEST(Runner, ReportsAnyFailure) {
  FakePlatform platform = Installed();
  platform.startFailure = "plus de mémoire";
  EXPECT_EQ(platform.Run(), kExitFailure);
  EXPECT_EQ(platform.events.back(), "end 1");
  EXPECT_EQ(platform.report.value_or(""), "Erreur d'exécution\r\nplus de mémoire");
  EXPECT_EQ(platform.reportTitle, "Quennel");
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
      {"up to date", [](FakePlatform& p) { p.files[kSource].time = {50}; }, {}},
      {"copy failed", [](FakePlatform& p) { p.copyError = "Accès refusé."; },
       {{RecordKind::Failed, "échec : " + installed + " ; cause : Accès refusé."}}},
      {"another update for good", [](FakePlatform& p) { p.lockBusyTries = -1; },
       {{RecordKind::GaveUp, "abandon : " + installed + " ; cause : Une autre mise à jour de C:\\APP\\PROG.EXE est "
                             "toujours en cours : la nouvelle version n'a pas été installée."}}},
      {"another update put it in",
       [](FakePlatform& p) { p.lockBusyTries = 2, p.whileLockHeld = [&p] { p.files[kDest].time = {200}; }; }, {}},
      {"malformed command line", [](FakePlatform& p) { p.tail = "\"a\"\t\"b\"\n"; },
       {{RecordKind::Usage, "syntaxe : utilisateur 1000 ; ligne de commande : \"a\"\\x09\"b\"\\x0A"}}},
      {"a folder in the program's place", [](FakePlatform& p) { p.files[kDest].directory = true; },
       {{RecordKind::Failed, "échec : " + installed + " ; cause : Is a directory"},
        {RecordKind::NotStarted,
         "démarrage : destination \"C:\\APP\\PROG.EXE\", utilisateur 1000 ; cause : cannot start"}}},
      {"unsigned where keys are trusted",
       [](FakePlatform& p) { p.trust = TrustFile{"keys", "RWQBAQEBAQEBAQICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgIC", false}; },
       {{RecordKind::Refused, "refusé : " + installed + " ; cause : La nouvelle version n'est pas signée, il manque : "
                              "S:\\NEW\\PROG.EXE.minisig"}}},
      {"a line break in a file name", [&](FakePlatform& p) { p.tail = Tail(kSource, odd, ""), p.files[odd] = kOld; },
       {{RecordKind::Installed, "installé : destination \"C:\\APP\\PROG\\x0Ainstallé : .EXE\"" + facts}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform = Installed(), unrecorded = Installed();
    c.setUp(platform);
    c.setUp(unrecorded);
    unrecorded.recordFails = true;

    EXPECT_EQ(unrecorded.Run(), platform.Run());

    EXPECT_EQ(platform.recorded, c.expected);
    EXPECT_TRUE(unrecorded.recorded.empty());
    EXPECT_EQ(unrecorded.events, platform.events);  // boxes, beeps, start and end alike
    for (const auto& [path, file] : platform.files) EXPECT_EQ(unrecorded.files[path].data, file.data) << path;
  }
}

/// Nothing in a file name or an error text can end a recorded line or forge
/// another; a line too long for a log is cut between two characters.
TEST(Record, EscapesCutsAndTimes) {
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\APP\\prog é 中.exe", "C:\\APP\\prog é 中.exe"},
      {"a\nb\rc\td\x1B[31m\x7F", "a\\x0Ab\\x0Dc\\x09d\\x1B[31m\\x7F"},
      // NEL, LS, PS; bytes that are no UTF-8 (a lone surrogate, an overlong form)
      {"\xC2\x85\xE2\x80\xA8\xE2\x80\xA9|\xFF|\xC3(|\xED\xA0\x80|\xE0\x80\xAF",
       "\\xC2\\x85\\xE2\\x80\\xA8\\xE2\\x80\\xA9|\\xFF|\\xC3(|\\xED\\xA0\\x80|\\xE0\\x80\\xAF"},
      {"C:\\x\\x0A", "C:\\x5Cx\\x5Cx0A"},  // looks like an escape: told apart
  };
  for (const auto& [text, escaped] : cases) EXPECT_EQ(EscapeForRecord(text), escaped);

  RecordFacts facts;
  facts.destination = std::string(kRecordLineLimit - 32, 'e');
  for (int i = 0; i < 100; ++i) facts.destination += "é";
  const std::string line = RecordLine(RecordKind::Installed, facts);
  EXPECT_EQ(line.size(), kRecordLineLimit - 1);
  EXPECT_TRUE(line.ends_with("e […]"));

  const std::pair<FileStamp, const char*> times[] = {{{-1, 999'999'999}, "1969-12-31 23:59:59.999999999"},
                                                     {{951'782'400, 5}, "2000-02-29 00:00:00.000000005"},
                                                     {{-11'644'473'600}, "1601-01-01 00:00:00.000000000"}};
  for (const auto& [time, text] : times) EXPECT_EQ(RecordTime(time), text);
}

}  // namespace
}  // namespace quennel
