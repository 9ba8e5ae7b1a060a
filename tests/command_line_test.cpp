#include <gtest/gtest.h>

#include "tests/FakePlatform.h"
#include "update/F_Main.h"

namespace quennel {
namespace {

struct GrammarCase {
  const char* tail;
  bool wellFormed;
  const char* source;
  const char* dest;
  const char* extra;
};

const GrammarCase kGrammar[] = {
    {"\"a\" \"b\"", true, "a", "b", ""},
    {"\"a\"\"b\"", true, "a", "b", ""},
    {"   \"a\"    \"b\"   x  y  ", true, "a", "b", "x  y"},
    {"\"a\" \"b\" \"c d\"", true, "a", "b", "\"c d\""},
    {"\"a\" \"b\" x\"", true, "a", "b", "x\""},
    {"\"a\" \"b\"\t", true, "a", "b", "\t"},
    {"\"\" \"b\"", true, "", "b", ""},
    {"\"a\" \"\"", true, "a", "", ""},
    {"\"S:\\NEW\\PROG.EXE\" \"C:\\APP\\PROG.EXE\" /x", true, "S:\\NEW\\PROG.EXE",
     "C:\\APP\\PROG.EXE", "/x"},
    {"\" a b \" \"c\"", true, " a b ", "c", ""},
    {"\"/opt/é/中\" \"/usr/ü\" ä", true, "/opt/é/中", "/usr/ü", "ä"},
    {"", false, "", "", ""},
    {"   ", false, "", "", ""},
    {"a b", false, "", "", ""},
    {"\"a\" b", false, "", "", ""},
    {"\"a b", false, "", "", ""},
    {"\"a\"", false, "", "", ""},
    {"\"a\"\t\"b\"", false, "", "", ""},
    {"\t\"a\" \"b\"", false, "", "", ""},
    {"\"a\" \"b", false, "", "", ""},
};

TEST(CommandLine, Grammar) {
  for (const GrammarCase& c : kGrammar) {
    SCOPED_TRACE(c.tail);
    const auto fields = ParseCommandLine(c.tail);
    ASSERT_EQ(fields.has_value(), c.wellFormed);
    if (!fields) continue;
    EXPECT_EQ(fields->SourcePath, c.source);
    EXPECT_EQ(fields->DestPath, c.dest);
    EXPECT_EQ(fields->ExtraArgs, c.extra);
  }
}

TEST(CommandLine, QuotePositionsHaveNoSixteenBitLimit) {
  const std::string longPath(70000, 'p');
  const auto fields = ParseCommandLine("\"" + longPath + "\" \"" + longPath + "x\" tail");
  ASSERT_TRUE(fields.has_value());
  EXPECT_EQ(fields->SourcePath, longPath);
  EXPECT_EQ(fields->DestPath, longPath + "x");
  EXPECT_EQ(fields->ExtraArgs, "tail");
}

/// Every malformed line and every empty path ends in the usage box, status
/// 2, with no window, no file touched and nothing started.
TEST(CommandLine, UsageExit) {
  const char* tails[] = {"", "a b", "\"a\" b", "\"a b", "\"a\"", "\"a\"\t\"b\"", "\"\" \"b\"",
                         "\"a\" \"\""};
  for (const char* tail : tails) {
    SCOPED_TRACE(tail);
    testing::FakePlatform platform;
    platform.tail = tail;
    // Were the line taken for good, "a" would replace "b" and "b" would start.
    platform.suffix = "";
    platform.files["a"] = {"new", 2};
    platform.files["b"] = {"old", 1};
    EXPECT_EQ(platform.Run(), kExitUsage);
    ASSERT_EQ(platform.messages.size(), 1u);
    EXPECT_EQ(platform.messages[0].text,
              "Donnez le programme source entre guillements, un espace, et le programme "
              "destination entre guillemets en paramètre svp.");
    EXPECT_EQ(platform.messages[0].style, MessageStyle::Information);
    EXPECT_EQ(platform.messages[0].title, "<none>");
    EXPECT_FALSE(platform.windowShown);
    EXPECT_FALSE(platform.started.has_value());
    EXPECT_EQ(platform.beeps, 0);
    EXPECT_EQ(platform.files["b"].data, "old");
  }
}

}  // namespace
}  // namespace quennel
