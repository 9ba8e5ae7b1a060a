/// The rules both systems follow, in process: the names of Quennel's own
/// files, the time kept on a coarse clock, plain line breaks.

#include <gtest/gtest.h>

#include <map>

#include "update/LineBreaks.h"
#include "update/OwnNames.h"
#include "update/StoredTime.h"

namespace quennel {
namespace {

constexpr OwnFileKind kPosixStaging{".", ""};
constexpr OwnFileKind kWindowsSetAside{"", ".old"};

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
      {"221 bytes fit whole", std::string(221, 'n'), kPosixStaging, NameUnits::Bytes, 221},
      {"222 bytes are cut", std::string(222, 'n'), kPosixStaging, NameUnits::Bytes, 212},
      {"249 bytes are cut", std::string(249, 'n'), kPosixStaging, NameUnits::Bytes, 212},
      {"three-byte characters cut whole", Repeat("中", 85), kPosixStaging, NameUnits::Bytes, 70 * 3},
      {"222 UTF-16 units fit whole", std::string(222, 'n'), kWindowsSetAside, NameUnits::Utf16, 222},
      {"223 UTF-16 units are cut", std::string(223, 'n'), kWindowsSetAside, NameUnits::Utf16, 213},
      {"a character is one unit", Repeat("中", 222), kWindowsSetAside, NameUnits::Utf16, 222 * 3},
      {"a surrogate pair is two units, never split", std::string("n").append(Repeat("😀", 113)), kWindowsSetAside,
       NameUnits::Utf16, 1 + 106 * 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string random(kRandomDigits, 'a');
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
  // Every kind of one lead starts alike: one folder search finds them all.
  EXPECT_EQ(OwnFilePrefix(first, kWindowsSetAside, NameUnits::Utf16),
            OwnFilePrefix(first, {"", ".sig"}, NameUnits::Utf16));
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
      {OwnFileName("app", kPosixStaging, "0123456789abcdef", NameUnits::Bytes), false},
  };
  for (const auto& [candidate, matches] : candidates)
    EXPECT_EQ(IsOwnFileName(candidate, first, kWindowsSetAside, NameUnits::Utf16), matches) << candidate;
  // Sixteen lowercase hex digits exactly: a user's ".app.quennel~backup" is no leftover.
  const std::map<std::string, bool> posix = {{".app.quennel~0123456789abcdef", true},
                                             {".app.quennel~backup", false},
                                             {".app.quennel~0123456789abcdeF", false},
                                             {".app.quennel~0123456789abcde/", false},
                                             {".app.quennel~0123456789abcdef0", false}};
  for (const auto& [candidate, matches] : posix)
    EXPECT_EQ(IsOwnFileName(candidate, "app", kPosixStaging, NameUnits::Bytes), matches) << candidate;
  EXPECT_EQ(HexDigits(0x1234), "0000000000001234");
  EXPECT_EQ(LockFileName("app", {"/", false, NameUnits::Bytes, false}), ".app.quennel~lock");
  EXPECT_EQ(LockFileName("APP.EXE", {"\\/:", true, NameUnits::Utf16, true}), "APP.EXE.quennel~lock");
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
    const auto store = [&](FileStamp t) {
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
    KeepTimeAtLeast(c.wanted, store);
    EXPECT_EQ(stored, c.kept);
  }
  // A store that fails goes up, never taken for a kept time.
  EXPECT_THROW(KeepTimeAtLeast({1, 1}, [](FileStamp) -> FileStamp { throw PlatformError("EIO"); }), PlatformError);
}

TEST(LineBreaks, PlainForATerminal) {
  EXPECT_EQ(PlainLineBreaks("a\r\nb\rc\n\r"), "a\nb\nc\n\n");
}

}  // namespace
}  // namespace quennel
