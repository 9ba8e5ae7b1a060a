#include <gtest/gtest.h>

#include "tests/FakePlatform.h"
#include "update/CopyMeter.h"

namespace quennel {
namespace {

using namespace std::chrono_literals;
using testing::FakePlatform;

/// A copy of `size` bytes read in chunks that take `chunkTime` each, and
/// the fractions the progress window shows for it.
struct ProgressCase {
  const char* name;
  std::size_t size;
  std::size_t chunk;
  std::chrono::milliseconds chunkTime;
  std::vector<double> shown;
};

void SlowCopy(FakePlatform& platform, const ProgressCase& c) {
  platform.process.tail = "\"/srv/new/prog\" \"/opt/app/prog\" x";
  platform.files.files["/srv/new/prog"] = {std::string(c.size, 'n'), {200}};
  platform.files.files["/opt/app/prog"] = {"old", {100}};
  platform.process.suffix = "";
  platform.files.readChunk = c.chunk;
  platform.files.before = [&platform, c](const std::string& step) {
    if (step == "Read") platform.journal.waited += c.chunkTime;
  };
}

TEST(CopyProgress, WhenTheBarShows) {
  const ProgressCase cases[] = {
      {"done within half a second: no bar", 100, 10, 45ms, {}},
      {"bar from half a second on", 100, 10, 100ms, {0.5, 0.6, 0.7, 0.8, 0.9, 1.0}},
      {"one slow chunk: the bar shows it done", 100, 0, 2s, {1.0}},
      {"empty source: no bar", 0, 0, 2s, {}},
  };
  for (const ProgressCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    SlowCopy(platform, c);
    EXPECT_EQ(platform.Run(), kExitStarted);
    EXPECT_EQ(platform.files.files["/opt/app/prog"].data.size(), c.size);
    EXPECT_EQ(platform.screen.progressShown, c.shown);
  }
}

TEST(CopyProgress, RedrawsSpacedAndTheEndAlwaysShown) {
  // A byte every 20 ms: the bar starts at 500 ms (a quarter done), then
  // every third chunk (60 ms apart, 40 would be too soon), then the last.
  FakePlatform platform;
  SlowCopy(platform, {"", 100, 1, 20ms, {}});
  EXPECT_EQ(platform.Run(), kExitStarted);
  const auto& shown = platform.screen.progressShown;
  ASSERT_EQ(shown.size(), 26u);
  EXPECT_EQ(shown[0], 0.25);
  EXPECT_EQ(shown[1], 0.28);
  EXPECT_EQ(shown[24], 0.97);
  EXPECT_EQ(shown[25], 1.0);
}

/// An unknown size shows nothing; more than was told shows full, never beyond.
TEST(CopyProgress, UnknownOrExceededSize) {
  FakePlatform platform;
  platform.journal.waited = 0ms;
  CopyMeter meter(platform.Parts());
  platform.journal.waited = 1s;
  meter.Update(50, 0);
  meter.Update(150, 100);
  EXPECT_EQ(platform.screen.progressShown, std::vector<double>{1.0});
}

}  // namespace
}  // namespace quennel
