#include <gtest/gtest.h>

#include "platform/win32/Text.h"

namespace quennel::win32 {
namespace {

struct Encoding {
  std::wstring wide;
  std::string utf8;
};

class TextTest : public testing::TestWithParam<Encoding> {};

TEST_P(TextTest, ConvertsBothWays) {
  EXPECT_EQ(Utf8(GetParam().wide), GetParam().utf8);
  EXPECT_EQ(Wide(GetParam().utf8), GetParam().wide);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, TextTest,
    testing::Values(Encoding{L"", ""}, Encoding{L"C:\\q.exe", "C:\\q.exe"},
                    Encoding{L"\u00e9\u00fc", "\xC3\xA9\xC3\xBC"}, Encoding{L"\u4e2d", "\xE4\xB8\xAD"},
                    Encoding{L"\U0001F600", "\xF0\x9F\x98\x80"},
                    // Unpaired surrogates keep their three-byte form.
                    Encoding{std::wstring{L'a', wchar_t(0xD800), L'b'}, "a\xED\xA0\x80" "b"},
                    Encoding{std::wstring{wchar_t(0xDC01)}, "\xED\xB0\x81"},
                    Encoding{std::wstring{L'x', wchar_t(0xDBFF)}, "x\xED\xAF\xBF"}));

struct Invalid {
  std::string utf8;
  std::wstring wide;
};

class InvalidTextTest : public testing::TestWithParam<Invalid> {};

TEST_P(InvalidTextTest, BecomesReplacementCharacters) { EXPECT_EQ(Wide(GetParam().utf8), GetParam().wide); }

INSTANTIATE_TEST_SUITE_P(Samples, InvalidTextTest,
                         testing::Values(Invalid{"\xFF", L"\uFFFD"}, Invalid{"a\xC3", L"a\uFFFD"},
                                         Invalid{"\xC0\xAF", L"\uFFFD\uFFFD"},
                                         Invalid{"\xE4\xB8z", L"\uFFFD\uFFFDz"},
                                         Invalid{"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
                                         Invalid{"\xE0\x80\x80", L"\uFFFD\uFFFD\uFFFD"}));

struct Tail {
  std::wstring commandLine;
  std::string tail;
};

class CommandTailTest : public testing::TestWithParam<Tail> {};

TEST_P(CommandTailTest, SkipsTheProgramNameOnly) { EXPECT_EQ(CommandTailOf(GetParam().commandLine), GetParam().tail); }

INSTANTIATE_TEST_SUITE_P(
    WindowsCommandLines, CommandTailTest,
    testing::Values(
        Tail{L"\"C:\\Program Files\\q.exe\" \"a\" \"b\" x", "\"a\" \"b\" x"},
        Tail{L"q.exe \"a\" \"b\"", "\"a\" \"b\""},
        Tail{L"\"C:\\Program Files\\q.exe\"", ""},
        Tail{L"q.exe", ""},
        Tail{L"q.exe   ", ""},
        // The rest is kept exactly, inner and trailing blanks included.
        Tail{L"\"q.exe\"   \"a\"  \"b\"  x\t y ", "\"a\"  \"b\"  x\t y "},
        Tail{L"q.exe\t\"a\" \"b\"", "\"a\" \"b\""},
        // A quoted name ends at its closing quote, blank or not.
        Tail{L"\"C:\\q.exe\"\"a\" \"b\"", "\"a\" \"b\""},
        Tail{L"C:\\Prog\\q.exe \"C:\\Nouvelle version\\q.exe\" \"C:\\Prog\\q.exe\" /x",
             "\"C:\\Nouvelle version\\q.exe\" \"C:\\Prog\\q.exe\" /x"},
        Tail{L"\"C:\\Dossier \u00e9\\\u4e2d.exe\" \"\u00fc\" \"b\"", "\"\xC3\xBC\" \"b\""}));

}  // namespace
}  // namespace quennel::win32
