// Path components and file-name comparison as Windows does it for NTFS and
// FAT names: without regard to case.
#pragma once

#include <algorithm>
#include <string_view>
#include <vector>

namespace corvanel {

// The upper-case form of a UTF-16 unit for the scripts whose case Windows
// folds in file names (Latin, Greek, Cyrillic); other units stand as they are.
constexpr char16_t FoldedCase(char16_t c) {
  if (c < 0x80) return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
    // Latin Extended-A pairs: even upper, odd lower, except the run from
    // U+0139 to U+0148 and from U+0179 on, which pair odd upper, even lower.
    bool oddUpper = (c >= 0x139 && c <= 0x148) || c >= 0x179;
    bool lower = oddUpper ? c % 2 == 0 : c % 2 == 1;
    return lower ? static_cast<char16_t>(c - 1) : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 0x20);  // full-width a-z
  return c;
}

constexpr bool SameNameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return FoldedCase(x) == FoldedCase(y); });
}

// The components of "X:\dir\sub\file" (or a path without its drive): the texts
// between the separators, empty ones dropped.
inline std::vector<std::u16string_view> PathComponents(std::u16string_view path) {
  if (path.size() >= 2 && path[1] == u':') path.remove_prefix(2);
  std::vector<std::u16string_view> parts;
  while (!path.empty()) {
    std::size_t end = path.find_first_of(u"\\/");
    std::u16string_view part = path.substr(0, end);
    if (!part.empty()) parts.push_back(part);
    if (end == std::u16string_view::npos) break;
    path.remove_prefix(end + 1);
  }
  return parts;
}

}  // namespace corvanel
