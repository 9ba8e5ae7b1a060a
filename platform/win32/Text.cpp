#include "platform/win32/Text.h"

#include "platform/WindowsQuoting.h"
#include "update/Utf8.h"

namespace quennel::win32 {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

std::string Utf8(std::wstring_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    char32_t c = static_cast<char16_t>(wide[i]);
    if (IsHighSurrogate(c) && i + 1 < wide.size() && IsLowSurrogate(static_cast<char16_t>(wide[i + 1]))) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(wide[i + 1]) - 0xDC00);
      ++i;
    }
    utf8::Append(out, c);
  }
  return out;
}

std::wstring Wide(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  while (!text.empty()) {
    // An encoded surrogate is how a lone one travels: it comes back as it was.
    const utf8::Decoded decoded = utf8::Decode(text, /*surrogates=*/true);
    char32_t c = decoded.length ? decoded.point : kReplacement;
    text.remove_prefix(decoded.length ? decoded.length : 1);
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<wchar_t>(0xD800 | (c >> 10));
      out += static_cast<wchar_t>(0xDC00 | (c & 0x3FF));
    } else {
      out += static_cast<wchar_t>(c);
    }
  }
  return out;
}

std::string CommandTailOf(std::wstring_view commandLine) {
  const std::string whole = Utf8(commandLine);
  return std::string(SkipProgramName(whole));
}

}  // namespace quennel::win32
