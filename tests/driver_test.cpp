#include <gtest/gtest.h>

#include "tests/FakePlatform.h"
#include "update/Busy.h"

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
    {"case differs, same file on disk", "C:\\APP\\prog.exe", kDest, kOld, kOld, ".EXE", kMarked, false},
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
  }
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
  EXPECT_EQ(platform.messages[0].style, 48);
  EXPECT_EQ(platform.messages[0].title, "quennel");
  EXPECT_EQ(platform.beeps, 1);
  EXPECT_TRUE(platform.files[kDest].directory);
  EXPECT_EQ(platform.report.value_or(""), "Erreur d'exécution\r\ncannot start");
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
    F_Main form(platform);
    form.DestPath = kDest;
    form.ExtraArgs = c.extra;
    EXPECT_THROW(form.LaunchTarget(c.marker), testing::Ended);
    EXPECT_EQ(platform.started.value_or("<nothing>"), c.expected);
    // The pointer goes back to normal only once the program is started.
    ASSERT_GE(platform.events.size(), 3u);
    EXPECT_EQ(platform.events[platform.events.size() - 3], "start");
    EXPECT_EQ(platform.events[platform.events.size() - 2], "pointer 0");
    EXPECT_EQ(platform.events.back(), "end 0");
  }
}

TEST(Launch, UnstartableProgramIsReportedAndNothingElseRuns) {
  FakePlatform platform;
  F_Main form(platform);
  form.DestPath = kDest;
  EXPECT_THROW(form.LaunchTarget(true), PlatformError);
  EXPECT_FALSE(platform.started.has_value());
  EXPECT_TRUE(platform.events.empty());
}

/// A newer version waiting for an installed one, started with "/x".
FakePlatform Installed() {
  FakePlatform platform;
  platform.tail = Tail(kSource, kDest, "/x");
  platform.files[kSource] = kNew;
  platform.files[kDest] = kOld;
  return platform;
}

class Replacement : public ::testing::Test {
protected:
  void ExpectOldCopyKeptWithMarker() {
    EXPECT_EQ(platform.files[kDest].data, "old bits");
    EXPECT_EQ(platform.files[kDest].time, FileStamp{100});
    EXPECT_EQ(platform.files.count(std::string(kDest) + ".staged"), 0u);
    EXPECT_EQ(platform.started.value_or(""), "\"C:\\APP\\PROG.EXE\" /x (~!~)");
    EXPECT_EQ(platform.beeps, 1);
  }
  FakePlatform platform = Installed();
};

TEST_F(Replacement, GoodCopy) {
  EXPECT_EQ(platform.Run(), kExitStarted);
  EXPECT_EQ(platform.files[kDest].data, "new bits");
  EXPECT_EQ(platform.files[kDest].time, FileStamp{200});
  EXPECT_EQ(platform.files[kSource].data, "new bits");
  EXPECT_EQ(platform.started.value_or(""), "\"C:\\APP\\PROG.EXE\" /x");
  EXPECT_TRUE(platform.messages.empty());
  EXPECT_FALSE(platform.report.has_value());
  // The lock is let go before the start, so a waiting run finds the new version.
  const std::vector<std::string> expected = {"pointer 4", "show",  "lock",  "beep",      "replaced",
                                             "beep",      "unlock", "start", "pointer 0", "end 0"};
  EXPECT_EQ(platform.events, expected);
}

TEST_F(Replacement, WindowTexts) {
  platform.Run();
  EXPECT_EQ(platform.labels[0], "Installation de la nouvelle version de C:\\APP\\PROG.EXE");
  EXPECT_EQ(platform.labels[1], "(Copie de S:\\NEW\\PROG.EXE dans C:\\APP\\PROG.EXE)");
}

TEST_F(Replacement, WindowTextsShowCompletedPaths) {
  platform.tail = Tail("S:\\NEW\\PROG", "C:\\APP\\PROG", "");
  platform.files["S:\\NEW\\PROG.EXE"] = kNew;
  platform.Run();
  EXPECT_EQ(platform.labels[1], "(Copie de S:\\NEW\\PROG.EXE dans C:\\APP\\PROG.EXE)");
}

TEST_F(Replacement, FailedCopyKeepsTheInstalledProgram) {
  platform.copyError = "Accès refusé.";
  EXPECT_EQ(platform.Run(), kExitStarted);
  ExpectOldCopyKeptWithMarker();
  ASSERT_EQ(platform.messages.size(), 1u);
  EXPECT_EQ(platform.messages[0].text, "Accès refusé.\r\nCopy S:\\NEW\\PROG.EXE, C:\\APP\\PROG.EXE");
  EXPECT_EQ(platform.messages[0].style, 48);
  EXPECT_EQ(platform.messages[0].title, "quennel");
  EXPECT_TRUE(platform.messages[0].windowVisible);
}

TEST_F(Replacement, BusyDestinationReleasedAfterAWhile) {
  platform.busyCommits = 5;
  EXPECT_EQ(platform.Run(), kExitStarted);
  EXPECT_EQ(platform.files[kDest].data, "new bits");
  EXPECT_EQ(platform.started.value_or(""), "\"C:\\APP\\PROG.EXE\" /x");
  EXPECT_EQ(platform.commitTries, 6);
  EXPECT_TRUE(platform.messages.empty());
  EXPECT_EQ(platform.beeps, 2);
  // It slept between tries instead of spinning.
  EXPECT_EQ(platform.waited, 5 * kBusyRetryPause);
}

TEST_F(Replacement, BusyForGoodGivesUpAtTheBound) {
  platform.busyCommits = -1;
  const std::chrono::milliseconds limit{1000};
  EXPECT_EQ(platform.Run(limit), kExitStarted);
  ExpectOldCopyKeptWithMarker();
  ASSERT_EQ(platform.messages.size(), 1u);
  EXPECT_EQ(platform.messages[0].text, platform.busyText +
                                           "\r\nCopy S:\\NEW\\PROG.EXE, C:\\APP\\PROG.EXE");
  EXPECT_GE(platform.waited, limit);
  EXPECT_LE(platform.waited, limit + kBusyRetryPause);
}

TEST_F(Replacement, RunningProgramIsSetAsideAfterTheGrace) {
  platform.busyCommits = -1;
  platform.busyRunning = true;
  EXPECT_EQ(platform.Run(), kExitStarted);
  EXPECT_EQ(platform.files[kDest].data, "new bits");
  EXPECT_EQ(platform.files[std::string(kDest) + ".old"].data, "old bits");
  // A new version went in: no marker, no box.
  EXPECT_EQ(platform.started.value_or(""), "\"C:\\APP\\PROG.EXE\" /x");
  EXPECT_TRUE(platform.messages.empty());
  EXPECT_GE(platform.waited, kSetAsideGrace);
  EXPECT_LE(platform.waited, kSetAsideGrace + kBusyRetryPause);
  const std::vector<std::string> expected = {"pointer 4", "show", "lock",  "beep",  "set aside", "replaced",
                                             "beep",      "unlock", "start", "pointer 0", "end 0"};
  EXPECT_EQ(platform.events, expected);
}

TEST_F(Replacement, ProgramClosingWithinTheGraceIsNotSetAside) {
  platform.busyCommits = 10;
  platform.busyRunning = true;
  EXPECT_EQ(platform.Run(), kExitStarted);
  EXPECT_EQ(platform.files[kDest].data, "new bits");
  EXPECT_EQ(platform.files.count(std::string(kDest) + ".old"), 0u);
  EXPECT_LT(platform.waited, kSetAsideGrace);
}

TEST_F(Replacement, DefaultBoundIsOneMinute) {
  platform.busyCommits = -1;
  platform.Run();
  EXPECT_GE(platform.waited, std::chrono::seconds(60));
  EXPECT_LT(platform.waited, std::chrono::seconds(61));
}

TEST_F(Replacement, SourceVanishedBeforeTheCopy) {
  // Found at the decision, gone when the copy starts.
  struct Vanishing : FakePlatform {
    std::unique_ptr<StagedCopy> StageCopy(const std::string& source, const std::string& dest,
                                          const CopyProgress& progress) override {
      files.erase(source);
      return FakePlatform::StageCopy(source, dest, progress);
    }
  } vanishing;
  vanishing.tail = platform.tail;
  vanishing.files = platform.files;
  EXPECT_EQ(vanishing.Run(), kExitStarted);
  EXPECT_EQ(vanishing.files[kDest].data, "old bits");
  ASSERT_EQ(vanishing.messages.size(), 1u);
  EXPECT_EQ(vanishing.messages[0].text,
            "No such file or directory\r\nCopy S:\\NEW\\PROG.EXE, C:\\APP\\PROG.EXE");
  EXPECT_EQ(vanishing.started.value_or(""), "\"C:\\APP\\PROG.EXE\" /x (~!~)");
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
    ASSERT_EQ(platform.messages.size(), heldForEver ? 1u : 0u);
    if (heldForEver) {
      EXPECT_EQ(platform.messages[0].text, platform.lockBusyText + "\r\nCopy S:\\NEW\\PROG.EXE, C:\\APP\\PROG.EXE");
      EXPECT_GE(platform.waited, std::chrono::seconds(5));
    }
  }
}

/// A program still open for writing elsewhere is tried again for a moment.
TEST(Launch, BusyProgramIsTriedAgainBriefly) {
  for (const int busyTries : {3, -1}) {
    SCOPED_TRACE(busyTries);
    FakePlatform platform = Installed();
    platform.files.erase(kSource);
    platform.startBusyTries = busyTries;

    const int status = platform.Run();

    if (busyTries > 0) {
      EXPECT_EQ(status, kExitStarted);
      EXPECT_EQ(platform.started.value_or(""), "\"C:\\APP\\PROG.EXE\" /x (~!~)");
      EXPECT_EQ(platform.waited, 3 * kBusyRetryPause);
    } else {
      EXPECT_EQ(status, kExitFailure);
      EXPECT_EQ(platform.report.value_or(""), "Erreur d'exécution\r\nText file busy");
      EXPECT_GE(platform.waited, kStartBusyLimit);
      EXPECT_LT(platform.waited, kStartBusyLimit + std::chrono::milliseconds(100));
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

}  // namespace
}  // namespace quennel
