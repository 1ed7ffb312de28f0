// The "ANSI" code page on Windows: the system's (CP_ACP).
#include <windows.h>

#include "platform/text_encoding.h"

namespace corvanel::platform {

bool SetAnsiCodePage(std::string_view) { return false; }

std::optional<std::string> ToAnsi(std::u16string_view text) {
  if (text.empty()) return std::string();
  auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  int length = static_cast<int>(text.size());
  BOOL usedDefault = FALSE;
  int needed = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, length, nullptr, 0, nullptr, &usedDefault);
  if (needed <= 0 || usedDefault) return std::nullopt;
  std::string out(static_cast<std::size_t>(needed), '\0');
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, length, out.data(), needed, nullptr, &usedDefault);
  if (usedDefault) return std::nullopt;
  return out;
}

std::optional<std::u16string> FromAnsi(std::string_view text) {
  if (text.empty()) return std::u16string();
  int length = static_cast<int>(text.size());
  int needed = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (needed <= 0) return std::nullopt;
  std::u16string out(static_cast<std::size_t>(needed), u'\0');
  ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), length, reinterpret_cast<wchar_t*>(out.data()),
                        needed);
  return out;
}

std::optional<std::string> ToNarrowPath(std::u16string_view path) { return ToAnsi(path); }

std::optional<std::u16string> FromNarrowPath(std::string_view path) { return FromAnsi(path); }

std::u16string FromAnsiLossy(std::string_view text) {
  if (text.empty()) return std::u16string();
  int length = static_cast<int>(text.size());
  int needed = ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return std::u16string();
  std::u16string out(static_cast<std::size_t>(needed), u'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, reinterpret_cast<wchar_t*>(out.data()), needed);
  return out;
}

}  // namespace corvanel::platform
