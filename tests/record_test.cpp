/// The administrator's record: which runs leave which line in the system log.

#include <gtest/gtest.h>

#include <functional>

#include "tests/FakePlatform.h"
#include "update/RecordLine.h"

namespace quennel {
namespace {

using testing::FakePlatform;
using Lines = std::vector<std::pair<RecordKind, std::string>>;

constexpr const char* kFacts =
    "destination \"C:\\APP\\PROG.EXE\", source \"S:\\NEW\\PROG.EXE\", 8 octets, modifié le 1970-01-01 "
    "00:03:20.000000000 UTC, utilisateur 1000";

std::map<std::string, std::string> Contents(const FakePlatform& platform) {
  std::map<std::string, std::string> contents;
  for (const auto& [path, file] : platform.files) contents[path] = file.data;
  return contents;
}

TEST(Record, WhatEachRunLeaves) {
  const std::string facts = kFacts;
  const struct {
    const char* name;
    std::function<void(FakePlatform&)> setUp;
    Lines expected;
  } cases[] = {
      {"installed", [](FakePlatform&) {}, {{RecordKind::Installed, "installé : " + facts}}},
      {"up to date", [](FakePlatform& p) { p.files["S:\\NEW\\PROG.EXE"].time = {50}; }, {}},
      {"copy failed", [](FakePlatform& p) { p.copyError = "Accès refusé."; },
       {{RecordKind::Failed, "échec : " + facts + " ; cause : Accès refusé."}}},
      {"program busy for good", [](FakePlatform& p) { p.busyCommits = -1; },
       {{RecordKind::GaveUp, "abandon : " + facts + " ; cause : Le processus ne peut pas accéder au fichier."}}},
      {"another update for good", [](FakePlatform& p) { p.lockBusyTries = -1; },
       {{RecordKind::GaveUp, "abandon : " + facts + " ; cause : Une autre mise à jour de C:\\APP\\PROG.EXE est "
                                                    "toujours en cours : la nouvelle version n'a pas été installée."}}},
      {"another update put it in",
       [](FakePlatform& p) {
         p.lockBusyTries = 2;
         p.whileLockHeld = [&p] { p.files["C:\\APP\\PROG.EXE"] = p.files["S:\\NEW\\PROG.EXE"]; };
       },
       {}},
      {"malformed command line", [](FakePlatform& p) { p.tail = "\"a\"\t\"b\"\n"; },
       {{RecordKind::Usage, "syntaxe : utilisateur 1000 ; ligne de commande : \"a\"\\x09\"b\"\\x0A"}}},
      {"an empty path", [](FakePlatform& p) { p.tail = "\"\" \"b\""; },
       {{RecordKind::Usage, "syntaxe : utilisateur 1000 ; ligne de commande : \"\" \"b\""}}},
      {"no program to start", [](FakePlatform& p) { p.files.clear(); },
       {{RecordKind::NotStarted,
         "démarrage : destination \"C:\\APP\\PROG.EXE\", utilisateur 1000 ; cause : No such file or directory"}}},
      {"a folder in the program's place", [](FakePlatform& p) { p.files["C:\\APP\\PROG.EXE"].directory = true; },
       {{RecordKind::Failed, "échec : " + facts + " ; cause : Is a directory"},
        {RecordKind::NotStarted, "démarrage : destination \"C:\\APP\\PROG.EXE\", utilisateur 1000 ; cause : cannot start"}}},
      {"a line break in a file name", [](FakePlatform& p) {
         p.tail = "\"S:\\NEW\\PROG.EXE\" \"C:\\APP\\PROG\ninstallé : .EXE\"";
         p.files["C:\\APP\\PROG\ninstallé : .EXE"] = p.files["C:\\APP\\PROG.EXE"];
       },
       {{RecordKind::Installed, "installé : destination \"C:\\APP\\PROG\\x0Ainstallé : .EXE\"" + facts.substr(facts.find(", source"))}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform, unrecorded;
    for (FakePlatform* p : {&platform, &unrecorded}) {
      p->tail = "\"S:\\NEW\\PROG.EXE\" \"C:\\APP\\PROG.EXE\" /x";
      p->files["S:\\NEW\\PROG.EXE"] = {"new bits", {200}};
      p->files["C:\\APP\\PROG.EXE"] = {"old bits", {100}};
      c.setUp(*p);
    }
    unrecorded.recordFails = true;

    const int status = platform.Run();

    EXPECT_EQ(platform.recorded, c.expected);
    // A record that cannot be written changes nothing else.
    EXPECT_EQ(unrecorded.Run(), status);
    EXPECT_TRUE(unrecorded.recorded.empty());
    EXPECT_EQ(unrecorded.events, platform.events);
    EXPECT_EQ(unrecorded.started, platform.started);
    EXPECT_EQ(Contents(unrecorded), Contents(platform));
  }
}

TEST(Record, NothingInALineCanEndItOrForgeAnother) {
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\APP\\prog é 中.exe", "C:\\APP\\prog é 中.exe"},
      {"a\nb\rc\td\x1B[31m\x7F", "a\\x0Ab\\x0Dc\\x09d\\x1B[31m\\x7F"},
      {"\xC2\x85|\xE2\x80\xA8|\xE2\x80\xA9", "\\xC2\\x85|\\xE2\\x80\\xA8|\\xE2\\x80\\xA9"},  // NEL, LS, PS
      {"\xFF|\xC3(|\xED\xA0\x80|\xE0\x80\xAF", "\\xFF|\\xC3(|\\xED\\xA0\\x80|\\xE0\\x80\\xAF"},  // no UTF-8
      {"C:\\x\\x0A", "C:\\x5Cx\\x5Cx0A"},  // looks like an escape: told apart
  };
  for (const auto& [text, escaped] : cases) EXPECT_EQ(EscapeForRecord(text), escaped);

  // A line too long for a log is cut between two characters, not inside one.
  std::string path(kRecordLineLimit - 32, 'e');
  for (int i = 0; i < 100; ++i) path += "é";
  RecordFacts facts;
  facts.destination = path;
  const std::string line = RecordLine(RecordKind::Installed, facts);
  EXPECT_EQ(line.size(), kRecordLineLimit - 1);
  EXPECT_TRUE(line.ends_with("e […]"));
}

TEST(Record, TimesInUtc) {
  const std::pair<FileStamp, const char*> cases[] = {
      {{0}, "1970-01-01 00:00:00.000000000"},          {{-1, 999'999'999}, "1969-12-31 23:59:59.999999999"},
      {{951'782'400, 5}, "2000-02-29 00:00:00.000000005"}, {{-11'644'473'600}, "1601-01-01 00:00:00.000000000"},
      {{10'413'792'000}, "2300-01-01 00:00:00.000000000"}, {{253'402'300'799}, "9999-12-31 23:59:59.000000000"},
  };
  for (const auto& [time, text] : cases) EXPECT_EQ(RecordTime(time), text);
}

}  // namespace
}  // namespace quennel
