#include <gtest/gtest.h>

#include "tests/FakePlatform.h"

namespace quennel {
namespace {

using namespace std::chrono_literals;
using testing::FakePlatform;

/// A copy of `size` bytes told in chunks that take `chunkTime` each, and
/// the fractions the progress window shows for it.
struct ProgressCase {
  const char* name;
  std::size_t size;
  std::size_t chunk;
  std::chrono::milliseconds chunkTime;
  std::optional<std::uint64_t> total;  // told instead of the size
  std::vector<double> shown;
};

const ProgressCase kProgressCases[] = {
    {"done within half a second: no bar", 100, 10, 45ms, {}, {}},
    {"bar from half a second on", 100, 10, 100ms, {}, {0.5, 0.6, 0.7, 0.8, 0.9, 1.0}},
    {"one slow chunk: the bar shows it done", 100, 0, 2s, {}, {1.0}},
    {"empty source: no bar", 0, 0, 2s, {}, {}},
    {"unknown size: no bar", 100, 10, 100ms, 0, {}},
    {"source grown past its size: full, never beyond", 100, 50, 400ms, 50, {1.0}},
};

FakePlatform SlowCopy(const ProgressCase& c) {
  FakePlatform platform;
  platform.tail = "\"/srv/new/prog\" \"/opt/app/prog\" x";
  platform.files["/srv/new/prog"] = {std::string(c.size, 'n'), 200};
  platform.files["/opt/app/prog"] = {"old", 100};
  platform.suffix = "";
  platform.copyChunk = c.chunk;
  platform.chunkTime = c.chunkTime;
  platform.copyTotal = c.total;
  return platform;
}

TEST(CopyProgress, WhenTheBarShows) {
  for (const ProgressCase& c : kProgressCases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform = SlowCopy(c);
    EXPECT_EQ(platform.Run(), kExitStarted);
    EXPECT_EQ(platform.files["/opt/app/prog"].data.size(), c.size);
    EXPECT_EQ(platform.progressShown, c.shown);
  }
}

TEST(CopyProgress, RedrawsSpacedAndTheEndAlwaysShown) {
  // A byte every 20 ms: the bar starts at 500 ms (a quarter done), then
  // every third chunk (60 ms apart, 40 would be too soon), then the last.
  FakePlatform platform = SlowCopy({"", 100, 1, 20ms, {}, {}});
  EXPECT_EQ(platform.Run(), kExitStarted);
  ASSERT_EQ(platform.progressShown.size(), 26u);
  EXPECT_EQ(platform.progressShown[0], 0.25);
  EXPECT_EQ(platform.progressShown[1], 0.28);
  EXPECT_EQ(platform.progressShown[24], 0.97);
  EXPECT_EQ(platform.progressShown[25], 1.0);
}

}  // namespace
}  // namespace quennel
