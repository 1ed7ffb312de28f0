// Conversions between the program's UTF-16 strings, UTF-8 and the "ANSI" code
// page that the C runtime's narrow file functions use.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvanel::platform {

// Ill-formed input (lone surrogates, bad UTF-8) becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

// The ANSI code page: the system's on Windows; on other systems the one set by
// SetAnsiCodePage (an iconv name), UTF-8 until then. ToAnsi gives nullopt when
// a character has no form in that code page: nothing is silently replaced.
std::optional<std::string> ToAnsi(std::u16string_view text);
std::optional<std::u16string> FromAnsi(std::string_view text);
bool SetAnsiCodePage(std::string_view name);  // false where it cannot be changed

// Paths for the narrow file functions: in the ANSI code page on Windows; on
// other systems always UTF-8, the file system's own, whatever code page the
// names stored on disks and in encrypted files use. nullopt when a character
// has no form there.
std::optional<std::string> ToNarrowPath(std::u16string_view path);
std::optional<std::u16string> FromNarrowPath(std::string_view path);

// FromAnsi for bytes read from a disk: what the code page cannot read becomes
// U+FFFD (or the system's default character) instead of failing.
std::u16string FromAnsiLossy(std::string_view text);

}  // namespace corvanel::platform
