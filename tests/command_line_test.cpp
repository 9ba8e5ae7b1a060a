#include <gtest/gtest.h>

#include "tests/FakePlatform.h"
#include "update/F_Main.h"

namespace quennel {
namespace {

struct Fields {
  std::string tail, source, dest, extra;
};

const std::string kLong(70000, 'p');  // quote positions past 16 bits
const Fields kWellFormed[] = {
    {"\"a\" \"b\"", "a", "b", ""},
    {"\"a\"\"b\"", "a", "b", ""},
    {"   \"a\"    \"b\"   x  y  ", "a", "b", "x  y"},
    {"\"a\" \"b\" \"c d\"", "a", "b", "\"c d\""},
    {"\"a\" \"b\" x\"", "a", "b", "x\""},
    {"\"a\" \"b\"\t", "a", "b", "\t"},
    {"\"\" \"b\"", "", "b", ""},
    {"\"a\" \"\"", "a", "", ""},
    {"\"S:\\NEW\\PROG.EXE\" \"C:\\APP\\PROG.EXE\" /x", "S:\\NEW\\PROG.EXE", "C:\\APP\\PROG.EXE", "/x"},
    {"\" a b \" \"c\"", " a b ", "c", ""},
    {"\"/opt/é/中\" \"/usr/ü\" ä", "/opt/é/中", "/usr/ü", "ä"},
    {"\"" + kLong + "\" \"" + kLong + "x\" tail", kLong, kLong + "x", "tail"},
};

/// Each breaks the grammar its own way (a tab is no separator).
const char* const kMalformed[] = {"",      "   ",         "a b",          "\"a\" b",  "\"a b",
                                  "\"a\"", "\"a\"\t\"b\"", "\t\"a\" \"b\"", "\"a\" \"b"};

TEST(CommandLine, Grammar) {
  for (const Fields& c : kWellFormed) {
    SCOPED_TRACE(c.tail.substr(0, 40));
    const auto fields = ParseCommandLine(c.tail);
    ASSERT_TRUE(fields.has_value());
    EXPECT_EQ(fields->SourcePath, c.source);
    EXPECT_EQ(fields->DestPath, c.dest);
    EXPECT_EQ(fields->ExtraArgs, c.extra);
  }
  for (const char* tail : kMalformed) EXPECT_FALSE(ParseCommandLine(tail).has_value()) << tail;
}

/// Every malformed line and every empty path ends in the usage box, status
/// 2, with no window, no file touched and nothing started.
TEST(CommandLine, UsageExit) {
  std::vector<std::string> tails = {"\"\" \"b\"", "\"a\" \"\""};  // well formed, a path empty
  tails.insert(tails.end(), std::begin(kMalformed), std::end(kMalformed));
  for (const std::string& tail : tails) {
    SCOPED_TRACE(tail);
    testing::FakePlatform platform;
    platform.process.tail = tail;
    // Were the line taken for good, "a" would replace "b" and "b" would start.
    platform.process.suffix = "";
    platform.files.files["a"] = {"new", {2}};
    platform.files.files["b"] = {"old", {1}};
    EXPECT_EQ(platform.Run(), kExitUsage);
    const auto& messages = platform.screen.messages;
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text,
              "Donnez le programme source entre guillements, un espace, et le programme "
              "destination entre guillemets en paramètre svp.");
    EXPECT_EQ(messages[0].style, MessageStyle::Information);
    EXPECT_EQ(messages[0].title, "<none>");
    EXPECT_FALSE(platform.journal.windowShown);
    EXPECT_FALSE(platform.process.started.has_value());
    EXPECT_EQ(platform.screen.beeps, 0);
    EXPECT_EQ(platform.files.files["b"].data, "old");
  }
}

}  // namespace
}  // namespace quennel
