#include <gtest/gtest.h>

#include "platform/WindowsQuoting.h"

namespace quennel {
namespace {

using Args = std::vector<std::string>;

TEST(Quoting, QuotesOnlyWhatNeedsIt) {
  const std::pair<const char*, const char*> cases[] = {
      {"plain", "plain"},
      {"", "\"\""},
      {"a b", "\"a b\""},
      {"tab\there", "\"tab\there\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"C:\\dir\\", "C:\\dir\\"},
      {"C:\\my dir\\", "\"C:\\my dir\\\\\""},
      {"a\\\"b", "\"a\\\\\\\"b\""},
      {"(~!~)", "(~!~)"},
  };
  for (const auto& [arg, quoted] : cases) {
    SCOPED_TRACE(arg);
    EXPECT_EQ(QuoteArgument(arg), quoted);
  }
}

TEST(Quoting, SplitsByTheWindowsRules) {
  const std::pair<const char*, Args> cases[] = {
      {"a b  c", {"a", "b", "c"}},
      {"  ", {}},
      {"\"a b\" c", {"a b", "c"}},
      {"a\\\\b", {"a\\\\b"}},
      {"a\\\"b", {"a\"b"}},
      {"a\\\\\"b c\"", {"a\\b c"}},
      {"\"\" x", {"", "x"}},
      {"\"a\"\"b\"", {"a\"b"}},
      {"a\tb", {"a", "b"}},
      {"x\"y z\"w", {"xy zw"}},
      {"\"unterminated arg", {"unterminated arg"}},
  };
  for (const auto& [text, args] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(SplitArguments(text), args);
  }
}

TEST(Quoting, RoundTripOfAwkwardArguments) {
  const Args awkward = {"",        " ",          "a b",      "\"",         "\\",
                        "\\\\\"",  "end\\",      "x\\ y\\",  "\"quoted\"", "tab\tin",
                        "new\nline", "é ü 中",   "(~!~)",    "--flag=a b", "\\\\server\\share\\"};
  EXPECT_EQ(SplitArguments(JoinArguments(awkward)), awkward);
}

TEST(Quoting, SkipsTheProgramName) {
  const std::pair<const char*, const char*> cases[] = {
      {"\"C:\\Program Files\\q.exe\" \"a\" \"b\" x", "\"a\" \"b\" x"},
      {"q.exe \"a\" \"b\"", "\"a\" \"b\""},
      {"q.exe", ""},
      {"\"C:\\Program Files\\q.exe\"", ""},
      {"\"C:\\a b\\q.exe\"\"a\" \"b\"", "\"a\" \"b\""},
      {"q.exe\t \"a\"  \"b\"  ", "\"a\"  \"b\"  "},
      {"C:\\x\\q.exe  rest", "rest"},
  };
  for (const auto& [line, tail] : cases) {
    SCOPED_TRACE(line);
    EXPECT_EQ(SkipProgramName(line), tail);
  }
}

TEST(Quoting, TailFromArguments) {
  EXPECT_EQ(TailFromArguments({}), "");
  EXPECT_EQ(TailFromArguments({"/new/prog"}), "\"/new/prog\"");
  EXPECT_EQ(TailFromArguments({"/new/my prog", "/opt/app", "-x", "a b", ""}),
            "\"/new/my prog\" \"/opt/app\" -x \"a b\" \"\"");
  EXPECT_EQ(TailFromArguments({"", "/opt/app"}), "\"\" \"/opt/app\"");
  // A path holding a quote cannot be written: the tail is unusable on
  // purpose, yet says what came.
  EXPECT_EQ(TailFromArguments({"/new/\"odd\"", "/opt/app"}), "\t\"/new/\\\"odd\\\"\" /opt/app");
  EXPECT_EQ(TailFromArguments({"/new", "/opt/\"app\" \"", "x"}), "\t/new \"/opt/\\\"app\\\" \\\"\" x");
}

}  // namespace
}  // namespace quennel
