#include "volume/scan_filter.h"

#include "volume/file_names.h"
#include "volume/scan_result.h"

namespace corvanel {
namespace {

// Whether c is in the set at pattern[at] (just past '['); at is moved past
// its ']'. A set with no ']' is nothing but the '[' itself.
bool InSet(std::u16string_view pattern, std::size_t& at, char16_t c, bool& wellFormed) {
  std::size_t i = at;
  const bool negated = i < pattern.size() && (pattern[i] == u'!' || pattern[i] == u'^');
  if (negated) ++i;
  bool found = false;
  for (bool first = true; i < pattern.size() && (first || pattern[i] != u']'); first = false) {
    char16_t low = pattern[i], high = low;
    if (i + 2 < pattern.size() && pattern[i + 1] == u'-' && pattern[i + 2] != u']') {
      high = pattern[i + 2];
      i += 3;
    } else {
      ++i;
    }
    const char16_t folded = FoldedCase(c);
    if ((c >= low && c <= high) || (folded >= FoldedCase(low) && folded <= FoldedCase(high))) found = true;
  }
  wellFormed = i < pattern.size();
  if (!wellFormed) return c == u'[';
  at = i + 1;
  return found != negated;
}

}  // namespace

bool MatchesGlob(std::u16string_view pattern, std::u16string_view text) {
  // Iterative matching with one backtrack point: the last '*' seen.
  std::size_t p = 0, t = 0, starP = std::u16string_view::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      starP = ++p;
      starT = t;
      continue;
    }
    if (p < pattern.size()) {
      std::size_t next = p + 1;
      bool matched = false;
      if (pattern[p] == u'?') {
        matched = true;
      } else if (pattern[p] == u'[') {
        bool wellFormed = true;
        std::size_t at = p + 1;
        matched = InSet(pattern, at, text[t], wellFormed);
        if (wellFormed) next = at;
      } else {
        matched = FoldedCase(pattern[p]) == FoldedCase(text[t]);
      }
      if (matched) {
        p = next;
        ++t;
        continue;
      }
    }
    if (starP == std::u16string_view::npos) return false;
    p = starP;
    t = ++starT;
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

bool ScanFilter::AdmitsFile(std::u16string_view name, std::u16string_view path, std::uint64_t size,
                            std::uint64_t modified) const {
  if (minSize && size < *minSize) return false;
  if (maxSize && size > *maxSize) return false;
  if ((modifiedAfter || modifiedBefore) && modified == 0) return false;
  if (modifiedAfter && modified < *modifiedAfter) return false;
  if (modifiedBefore && modified >= *modifiedBefore) return false;
  if (!extensions.empty()) {
    const std::size_t dot = name.rfind(u'.');
    const std::u16string_view extension = dot == std::u16string_view::npos ? u"" : name.substr(dot + 1);
    bool found = false;
    for (const std::u16string& wanted : extensions) found = found || SameNameIgnoringCase(wanted, extension);
    if (!found) return false;
  }
  if (names.empty()) return true;
  std::u16string full(path);
  if (!full.empty() && full.back() != u'/') full += u'/';
  full += name;
  for (const std::u16string& pattern : names)
    if (MatchesGlob(pattern, pattern.find(u'/') == std::u16string::npos ? name : std::u16string_view(full)))
      return true;
  return false;
}

bool ScanFilter::Admits(const ListedFile& file, std::u16string_view name, std::u16string_view path) const {
  return AdmitsFile(name, path, file.size, file.times.modified) && (!recoverableOnly || file.free == 100);
}

}  // namespace corvanel
