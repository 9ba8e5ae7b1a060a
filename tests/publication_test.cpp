/// A version still on its way, or dated ahead of this machine's clock, does
/// not go in: no box, the old program starts with the marker, and one
/// abandon line says why. A settled version costs no second look.

#include <gtest/gtest.h>

#include "tests/FakePlatform.h"
#include "update/Clock.h"

namespace quennel {
namespace {

using namespace std::chrono_literals;
using testing::FakePlatform;

constexpr const char* kSource = "S:\\NEW\\PROG.EXE";
constexpr const char* kDest = "C:\\APP\\PROG.EXE";
constexpr std::int64_t kNow = 1'900'000'000;  // the fake machine's clock

TEST(Publication, Table) {
  const auto lately = [](FakePlatform& p) { p.files.files[kSource].changed = {kNow - 60}; };
  const auto onSecond = [](FakePlatform& p, const char* step, std::function<void()> change) {
    auto count = std::make_shared<int>(0);
    p.files.before = [=](const std::string& s) {
      if (s == step && ++*count == 2) change();
    };
  };
  const struct {
    const char* name;
    std::function<void(FakePlatform&)> setUp;
    bool installed;
    std::chrono::milliseconds waited;  // at least, before anything went in
    const char* recorded;              // how the cause starts, for no install; nullptr: a box says it
  } cases[] = {
      {"settled long ago: no second look", [](FakePlatform&) {}, true, 0ms, nullptr},
      {"changed lately, standing still", lately, true, kSettleLook, nullptr},
      {"a volume that keeps no change time", [](FakePlatform& p) { p.files.files[kSource].changed = {}; }, true,
       kSettleLook, nullptr},
      {"changed between the two looks",
       [&](FakePlatform& p) {
         lately(p);
         onSecond(p, "StatFresh", [&p] { p.files.files[kSource].changed = {kNow}; });
       },
       false, kSettleLook, "La nouvelle version est encore en cours de publication"},
      {"changed lately, and during the copy",
       [&](FakePlatform& p) {
         lately(p);
         p.files.readChunk = 3;
         onSecond(p, "Read", [&p] { p.files.files[kSource].changed = {kNow + 1}; });
       },
       false, kSettleLook, "La nouvelle version est encore en cours de publication : Le fichier source a changé"},
      {"settled, yet changed during the copy",
       [&](FakePlatform& p) {
         p.files.readChunk = 3;
         onSecond(p, "Read", [&p] { p.files.files[kSource].changed = {kNow + 1}; });
       },
       false, 0ms, nullptr},
      {"changed lately, another run holding the lock throughout",
       [&](FakePlatform& p) { lately(p), p.files.lockBusyTries = -1; }, false, kSettleLook,
       "La nouvelle version est encore en cours de publication : Une autre mise à jour"},
      {"dated ten minutes ahead of the clock", [](FakePlatform& p) { p.files.files[kSource].time = {kNow + 600}; },
       false, 0ms,
       "La nouvelle version est datée du 2030-03-17 17:56:40 UTC, plus de cinq minutes après l'horloge de cette "
       "machine (2030-03-17 17:46:40 UTC) : elle sera installée une fois cette heure passée."},
      {"dated four minutes ahead", [](FakePlatform& p) { p.files.files[kSource].time = {kNow + 240}; }, true, 0ms,
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    platform.process.tail = "\"S:\\NEW\\PROG.EXE\" \"C:\\APP\\PROG.EXE\" /x";
    platform.files.files[kSource] = {"new bits", {kNow - 3600}, false, {kNow - 3600}, {1, 1}};
    platform.files.files[kDest] = {"old bits", {100}};
    c.setUp(platform);

    EXPECT_EQ(platform.Run(std::chrono::seconds(5)), kExitStarted);

    EXPECT_EQ(platform.files.files[kDest].data, c.installed ? "new bits" : "old bits");
    EXPECT_EQ(platform.process.started.value_or(""),
              c.installed ? "\"C:\\APP\\PROG.EXE\" /x" : "\"C:\\APP\\PROG.EXE\" /x (~!~)");
    EXPECT_GE(platform.journal.waited, c.waited);
    EXPECT_EQ(platform.files.OwnFilesBeside(kDest), std::vector<std::string>{});
    const bool silent = !c.installed && c.recorded;
    EXPECT_EQ(platform.screen.messages.size(), !c.installed && !silent ? 1u : 0u);
    if (silent) {
      ASSERT_EQ(platform.record.recorded.size(), 1u);
      EXPECT_EQ(platform.record.recorded[0].first, RecordKind::GaveUp);
      const std::string& line = platform.record.recorded[0].second;
      EXPECT_NE(line.find(std::string("cause : ") + c.recorded), std::string::npos) << line;
    }
  }
}

/// A `\\?\` name ending in a dot or a space would be a second program
/// beside the one its name shows: refused, nothing written.
TEST(Publication, NoProgramNamedWithATrailingDotOrSpace) {
  for (const std::string dest : {"\\\\?\\C:\\APP\\PROG.EXE.", "\\\\?\\C:\\APP\\PROG.EXE "}) {
    FakePlatform platform;
    platform.process.tail = "\"S:\\NEW\\PROG.EXE\" \"" + dest + "\"";
    platform.files.files[kSource] = {"new bits", {200}};
    EXPECT_EQ(platform.Run(), kExitFailure);
    ASSERT_EQ(platform.screen.messages.size(), 1u);
    EXPECT_TRUE(platform.screen.messages[0].text.starts_with("Nom refusé")) << platform.screen.messages[0].text;
    EXPECT_EQ(platform.files.files.size(), 1u);
  }
}

}  // namespace
}  // namespace quennel
