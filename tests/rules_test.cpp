/// The rules both systems follow, in process: the names of Quennel's own
/// files and which of them are stale, the time kept on a coarse clock,
/// plain line breaks.

#include <gtest/gtest.h>

#include <map>

#include "update/Leftovers.h"
#include "update/LineBreaks.h"
#include "update/OwnNames.h"
#include "update/StoredTime.h"

namespace quennel {
namespace {

constexpr OwnFileKind kPosixStaging{".", 6, ""};
constexpr OwnFileKind kWindowsSetAside{"", 16, ".old"};

std::string Repeat(std::string_view piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

/// Whole names up to the limit; past it, whole characters and a tag of the
/// whole name, in bytes or UTF-16 units.
TEST(OwnNames, FitAndStayTheProgramsOwn) {
  const struct {
    const char* name;
    std::string program;
    OwnFileKind kind;
    NameUnits units;
    std::size_t kept;  // bytes of the program's name before the tag; all of it: no tag
  } cases[] = {
      {"239 bytes fit whole", std::string(239, 'n'), kPosixStaging, NameUnits::Bytes, 239},
      {"240 bytes are cut", std::string(240, 'n'), kPosixStaging, NameUnits::Bytes, 230},
      {"249 bytes are cut", std::string(249, 'n'), kPosixStaging, NameUnits::Bytes, 230},
      {"three-byte characters cut whole", Repeat("中", 85), kPosixStaging, NameUnits::Bytes, 76 * 3},
      {"226 UTF-16 units fit whole", std::string(226, 'n'), kWindowsSetAside, NameUnits::Utf16, 226},
      {"227 UTF-16 units are cut", std::string(227, 'n'), kWindowsSetAside, NameUnits::Utf16, 217},
      {"a character is one unit", Repeat("中", 226), kWindowsSetAside, NameUnits::Utf16, 226 * 3},
      {"a surrogate pair is two units, never split", std::string("n").append(Repeat("😀", 113)), kWindowsSetAside,
       NameUnits::Utf16, 1 + 108 * 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string random(c.kind.random, 'a');
    const std::string name = OwnFileName(c.program, c.kind, random, c.units);
    const std::string lead(c.kind.lead);
    ASSERT_EQ(name.compare(0, lead.size() + c.kept, lead + c.program.substr(0, c.kept)), 0) << name;
    const std::string rest = name.substr(lead.size() + c.kept);
    const bool whole = c.kept == c.program.size();
    EXPECT_EQ(rest.starts_with("~"), !whole) << rest;
    EXPECT_EQ(rest.ends_with(".quennel~" + random + std::string(c.kind.ending)), true) << rest;
    std::size_t length = 0;
    for (const unsigned char byte : name)
      if (c.units == NameUnits::Bytes || (byte & 0xC0) != 0x80)
        length += (c.units == NameUnits::Utf16 && byte >= 0xF0) ? 2 : 1;
    EXPECT_LE(length, kMaxNameLength);
    EXPECT_TRUE(IsOwnFileName(name, c.program, c.kind, c.units));
  }
}

/// Two programs whose long names share their start never share a prefix,
/// so one's clean-up never matches the other's files; and only exact names
/// of the right kind match.
TEST(OwnNames, MatchOnlyTheirOwn) {
  const std::string first = std::string(240, 'n') + "-1.exe", second = std::string(240, 'n') + "-2.exe";
  const std::string name = OwnFileName(first, kWindowsSetAside, "0123456789abcdef", NameUnits::Utf16);
  EXPECT_NE(OwnFilePrefix(first, kWindowsSetAside, NameUnits::Utf16),
            OwnFilePrefix(second, kWindowsSetAside, NameUnits::Utf16));
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::map<std::string, bool> candidates = {
      {name, true},
      {OwnFileName(second, kWindowsSetAside, "0123456789abcdef", NameUnits::Utf16), false},
      {upper, false},
      {name.substr(0, name.size() - 4) + ".tmp", false},
      {name.substr(0, name.size() - 5) + "-.old", false},
      {name + "x", false},
      {OwnFileName("app", kPosixStaging, "Ab3xY9", NameUnits::Bytes), false},
  };
  for (const auto& [candidate, matches] : candidates)
    EXPECT_EQ(IsOwnFileName(candidate, first, kWindowsSetAside, NameUnits::Utf16), matches) << candidate;
  EXPECT_TRUE(IsOwnFileName(".app.quennel~Ab3xY9", "app", kPosixStaging, NameUnits::Bytes));
  EXPECT_FALSE(IsOwnFileName(".app.quennel~Ab3x/9", "app", kPosixStaging, NameUnits::Bytes));
}

/// Which files the clean-up clears, by the folder's clock: the lock
/// file's change time, `now`.
TEST(Leftovers, OnlyOurOwnOldCopiesOfThisProgram) {
  const FileStamp now{1'000'000, 500};
  const auto before = [&](std::int64_t seconds, std::int32_t nanoseconds = 0) {
    return FileStamp{now.seconds - seconds, now.nanoseconds - nanoseconds};
  };
  const std::string aside = "app.exe.quennel~0123456789abcdef.old";
  const struct {
    const char* name;
    FoundFile file;
    bool stale;
  } cases[] = {
      {"ours, eleven minutes old", {".app.quennel~Ab12Cd", true, true, before(660)}, true},
      {"another user's", {".app.quennel~Ab12Cd", true, false, before(660)}, false},
      {"nine minutes old", {".app.quennel~Ab12Cd", true, true, before(540)}, false},
      {"ten minutes to the nanosecond", {".app.quennel~Ab12Cd", true, true, before(600)}, false},
      {"a nanosecond over ten minutes", {".app.quennel~Ab12Cd", true, true, before(600, 1)}, true},
      {"changed after the lock (another clock)", {".app.quennel~Ab12Cd", true, true, before(-700)}, false},
      {"not a regular file", {".app.quennel~Ab12Cd", false, true, before(660)}, false},
      {"another program's", {".apps.quennel~Ab12Cd", true, true, before(660)}, false},
      {"five random letters", {".app.quennel~Ab12C", true, true, before(660)}, false},
      {"the lock file", {".app.quennel~lock", true, true, before(660)}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsStaleOwnFile(c.file, "app", kPosixStaging, NameUnits::Bytes, now), c.stale);
  }
  // Windows compares the whole name exactly too, case included.
  EXPECT_TRUE(IsStaleOwnFile({aside, true, true, before(660)}, "app.exe", kWindowsSetAside, NameUnits::Utf16, now));
  EXPECT_FALSE(IsStaleOwnFile({aside, true, true, before(660)}, "APP.EXE", kWindowsSetAside, NameUnits::Utf16, now));
}

TEST(StoredTime, RoundUp) {
  constexpr std::int64_t kSecond = 1'000'000'000, kMax = INT64_MAX;
  const struct {
    FileStamp time;
    std::int64_t step;
    std::optional<FileStamp> rounded;
  } cases[] = {
      {{100, 0}, kSecond, FileStamp{100, 0}},
      {{100, 1}, kSecond, FileStamp{101, 0}},
      {{101, 1}, 2 * kSecond, FileStamp{102, 0}},
      {{-3, 0}, 2 * kSecond, FileStamp{-2, 0}},
      {{-3, 500}, 2 * kSecond, FileStamp{-2, 0}},
      {{-4, 0}, 2 * kSecond, FileStamp{-4, 0}},
      {{-1, 999'999'999}, kSecond, FileStamp{0, 0}},
      {{7, 1'000'001}, 10'000'000, FileStamp{7, 10'000'000}},
      {{7, 999'999'999}, 10'000'000, FileStamp{8, 0}},
      {{-7, 5}, 100, FileStamp{-7, 100}},
      {{kMax, 1}, kSecond, std::nullopt},
      {{kMax, 999'999'999}, 100, std::nullopt},
      {{kMax, 0}, 2 * kSecond, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.time.seconds) + "." + std::to_string(c.time.nanoseconds) + " by " +
                 std::to_string(c.step));
    const auto rounded = RoundUp(c.time, c.step);
    ASSERT_EQ(rounded.has_value(), c.rounded.has_value());
    if (rounded) {
      EXPECT_EQ(*rounded, *c.rounded);
    }
  }
}

/// A file system keeping `clock` nanoseconds (from 1970, truncating)
/// stores the smallest time it holds that is not earlier than the wanted one.
TEST(StoredTime, KeptAtLeastAsNewOnEveryClock) {
  const struct {
    std::int64_t clock;
    FileStamp wanted, kept;
  } cases[] = {
      {1, {-5, 123'456'789}, {-5, 123'456'789}},
      {1'000, {1'700'000'000, 123'456'789}, {1'700'000'000, 123'457'000}},
      {10'000'000, {1'700'000'000, 5}, {1'700'000'000, 10'000'000}},
      {1'000'000'000, {-10, 1}, {-9, 0}},
      {2'000'000'000, {1'700'000'001, 250'000'000}, {1'700'000'002, 0}},
      {2'000'000'000, {-3, 0}, {-2, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.clock);
    FileStamp stored;
    const auto store = [&](FileStamp t) -> std::optional<FileStamp> {
      // Truncates towards the past, as file systems do.
      constexpr std::int64_t kSecond = 1'000'000'000;
      if (c.clock < kSecond) {
        stored = {t.seconds, static_cast<std::int32_t>(t.nanoseconds / c.clock * c.clock)};
      } else {
        const std::int64_t seconds = c.clock / kSecond;
        stored = {t.seconds - ((t.seconds % seconds) + seconds) % seconds, 0};
      }
      return stored;
    };
    EXPECT_TRUE(KeepTimeAtLeast(c.wanted, store));
    EXPECT_EQ(stored, c.kept);
  }
  EXPECT_FALSE(KeepTimeAtLeast({1, 1}, [](FileStamp) { return std::optional<FileStamp>(); }));
}

TEST(LineBreaks, PlainForATerminal) {
  EXPECT_EQ(PlainLineBreaks("a\r\nb\rc\n\r"), "a\nb\nc\n\n");
}

}  // namespace
}  // namespace quennel
