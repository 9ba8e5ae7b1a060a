#include "platform/win32/SystemError.h"

#include <windows.h>

#include "platform/Platform.h"
#include "platform/win32/Text.h"
#include "update/Texts.h"

namespace quennel::win32 {
namespace {

/// French first: the program speaks French, whatever the system's language.
constexpr WORD kLanguages[] = {
    MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH),
    MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
    0,
};

std::wstring Format(DWORD code, WORD language) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                         FORMAT_MESSAGE_ALLOCATE_BUFFER,
                     nullptr, code, language, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text(buffer ? buffer : L"", buffer ? length : 0);
  LocalFree(buffer);
  return text;
}

}  // namespace

std::string SystemText(unsigned long code) {
  std::wstring text;
  for (WORD language : kLanguages) {
    text = Format(code, language);
    if (!text.empty()) break;
  }
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
    text.pop_back();
  if (text.empty()) return texts::kSystemError + std::to_string(code) + ".";
  return Utf8(text);
}

void ThrowSystemError(unsigned long code) { throw PlatformError(SystemText(code)); }

void ThrowLastError() { ThrowSystemError(GetLastError()); }

}  // namespace quennel::win32
