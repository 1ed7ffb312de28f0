// The "ANSI" code page on POSIX systems: any iconv character set, UTF-8 unless
// set otherwise.
#include <iconv.h>

#include <cerrno>
#include <mutex>

#include "platform/text_encoding.h"

namespace corvanel::platform {
namespace {

std::mutex codePageMutex;
std::string codePage = "UTF-8";

std::string CurrentCodePage() {
  std::lock_guard lock(codePageMutex);
  return codePage;
}

// Converts with iconv, failing on any character the target cannot hold.
std::optional<std::string> Convert(const char* from, const char* to, std::string_view input) {
  iconv_t converter = ::iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string output(input.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(input.data());
  std::size_t inLeft = input.size();
  char* out = output.data();
  std::size_t outLeft = output.size();
  std::size_t result = ::iconv(converter, &in, &inLeft, &out, &outLeft);
  ::iconv_close(converter);
  if (result == static_cast<std::size_t>(-1) || result != 0) return std::nullopt;
  output.resize(output.size() - outLeft);
  return output;
}

}  // namespace

bool SetAnsiCodePage(std::string_view name) {
  std::string wanted(name);
  iconv_t probe = ::iconv_open(wanted.c_str(), "UTF-16LE");
  if (probe == reinterpret_cast<iconv_t>(-1)) return false;
  ::iconv_close(probe);
  std::lock_guard lock(codePageMutex);
  codePage = std::move(wanted);
  return true;
}

std::optional<std::string> ToAnsi(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return Convert("UTF-16LE", CurrentCodePage().c_str(), bytes);
}

std::optional<std::u16string> FromAnsi(std::string_view text) {
  std::optional<std::string> bytes = Convert(CurrentCodePage().c_str(), "UTF-16LE", text);
  if (!bytes) return std::nullopt;
  std::u16string out;
  out.reserve(bytes->size() / 2);
  for (std::size_t i = 0; i + 1 < bytes->size(); i += 2)
    out += static_cast<char16_t>(static_cast<unsigned char>((*bytes)[i]) |
                                 static_cast<unsigned char>((*bytes)[i + 1]) << 8);
  return out;
}

std::optional<std::string> ToNarrowPath(std::u16string_view path) {
  std::string utf8 = Utf16ToUtf8(path);
  if (Utf8ToUtf16(utf8) != path) return std::nullopt;  // a lone surrogate
  return utf8;
}

std::optional<std::u16string> FromNarrowPath(std::string_view path) {
  std::u16string text = Utf8ToUtf16(path);
  if (Utf16ToUtf8(text) != path) return std::nullopt;  // not UTF-8
  return text;
}

std::u16string FromAnsiLossy(std::string_view text) {
  if (std::optional<std::u16string> exact = FromAnsi(text)) return *exact;
  // Convert what can be converted, one undecodable byte at a time replaced.
  std::u16string out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.size();
    std::optional<std::u16string> piece;
    while (end > start && !(piece = FromAnsi(text.substr(start, end - start)))) --end;
    if (end == start) {
      out += u'\uFFFD';
      ++start;
    } else {
      out += *piece;
      start = end;
    }
  }
  return out;
}

}  // namespace corvanel::platform
