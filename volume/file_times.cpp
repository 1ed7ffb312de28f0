#include "volume/file_times.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "base/byte_reader.h"
#include "volume/exfat_layout.h"
#include "volume/fat_layout.h"
#include "volume/ntfs_layout.h"

namespace corvanel {
namespace {

constexpr std::int64_t kSecondsPerDay = 86'400;
// Days from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kDaysBefore1970 = 134'774;

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146'097 + static_cast<std::int64_t>(dayOfEra) - 719'468;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

CivilDate CivilFromDays(std::int64_t days) {
  days += 719'468;
  const std::int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146'097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned shifted = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * shifted + 2) / 5 + 1;
  const unsigned month = shifted < 10 ? shifted + 3 : shifted - 9;
  return {static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2), month, day};
}

bool ValidDate(std::int64_t year, unsigned month, unsigned day) {
  static constexpr unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return false;
  return month != 2 || day <= 28 || (year % 4 == 0 && (year % 100 != 0 || year % 400 == 0));
}

std::uint64_t TicksOf(std::int64_t year, unsigned month, unsigned day, std::int64_t secondOfDay) {
  const std::int64_t days = DaysFromCivil(year, month, day) + kDaysBefore1970;
  return static_cast<std::uint64_t>(days * kSecondsPerDay + secondOfDay) * kTicksPerSecond;
}

// A FAT date and time; 0 when the date is 0 or names no day.
std::uint64_t FatTicks(std::uint16_t date, std::uint16_t time, unsigned hundredths) {
  const unsigned year = 1980 + (date >> 9), month = (date >> 5) & 0x0F, day = date & 0x1F;
  const unsigned hour = time >> 11, minute = (time >> 5) & 0x3F, twoSeconds = time & 0x1F;
  if (date == 0 || !ValidDate(year, month, day) || hour > 23 || minute > 59 || twoSeconds > 29 || hundredths > 199)
    return 0;
  const std::int64_t second = hour * 3600 + minute * 60 + twoSeconds * 2;
  return TicksOf(year, month, day, second) + std::uint64_t{hundredths} * (kTicksPerSecond / 100);
}

// Reads digits [at, at + count) of text as a number.
std::optional<unsigned> Digits(std::string_view text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return std::nullopt;
  unsigned value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return value;
}

}  // namespace

std::optional<FileTimes> ReadStandardInformationTimes(std::span<const std::uint8_t> value) {
  ByteReader reader(value);
  std::optional<std::uint64_t> created = reader.U64(ntfs::kTimeCreated);
  std::optional<std::uint64_t> modified = reader.U64(ntfs::kTimeModified);
  std::optional<std::uint64_t> changed = reader.U64(ntfs::kTimeRecordChanged);
  std::optional<std::uint64_t> accessed = reader.U64(ntfs::kTimeAccessed);
  if (!created || !modified || !changed || !accessed) return std::nullopt;
  return FileTimes{*created, *modified, *accessed, *changed};
}

FileTimes ReadFatEntryTimes(std::span<const std::uint8_t, 32> entry) {
  ByteReader reader(entry);
  FileTimes times;
  times.created = FatTicks(*reader.U16(fat::kCreatedDate), *reader.U16(fat::kCreatedTime),
                           *reader.U8(fat::kCreatedHundredths));
  times.modified = FatTicks(*reader.U16(fat::kModifiedDate), *reader.U16(fat::kModifiedTime), 0);
  times.accessed = FatTicks(*reader.U16(fat::kAccessedDate), 0, 0);
  return times;
}

ExfatEntryTimes ReadExfatEntryTimes(std::span<const std::uint8_t, 32> fileEntry) {
  ByteReader reader(fileEntry);
  // A stamp is a FAT date (high half) and time (low half); the offset, when
  // valid, is a signed count of 15 minutes east of UTC.
  auto one = [&](std::size_t stamp, std::optional<std::size_t> tenMs, std::size_t offset, bool& utc) {
    const std::uint32_t value = *reader.U32(stamp);
    std::uint64_t ticks = FatTicks(static_cast<std::uint16_t>(value >> 16), static_cast<std::uint16_t>(value),
                                   tenMs ? *reader.U8(*tenMs) : 0);
    const std::uint8_t zone = *reader.U8(offset);
    utc = ticks != 0 && (zone & exfat::kUtcOffsetValid) != 0;
    if (!utc) return ticks;
    const int quarters = (zone & 0x40) ? static_cast<int>(zone & 0x7F) - 0x80 : zone & 0x3F;
    const std::int64_t shift = std::int64_t{quarters} * 15 * 60 * static_cast<std::int64_t>(kTicksPerSecond);
    if (shift > 0 && static_cast<std::uint64_t>(shift) >= ticks) return std::uint64_t{0};
    return ticks - static_cast<std::uint64_t>(shift);
  };
  ExfatEntryTimes times;
  times.times.created = one(exfat::kCreated, exfat::kCreated10ms, exfat::kCreatedUtcOffset, times.createdUtc);
  times.times.modified = one(exfat::kModified, exfat::kModified10ms, exfat::kModifiedUtcOffset, times.modifiedUtc);
  times.times.accessed = one(exfat::kAccessed, std::nullopt, exfat::kAccessedUtcOffset, times.accessedUtc);
  return times;
}

namespace {

// value in decimal, width digits (the lowest ones), at `at`; returns the end.
char* PutDigits(char* at, std::uint64_t value, int width) {
  for (int place = width - 1; place >= 0; --place) {
    at[place] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return at + width;
}

// "00" to "99": two digits a step, a listing of a million files writes four times each.
constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

char* PutPair(char* at, unsigned value) {
  at[0] = kDigitPairs[2 * value];
  at[1] = kDigitPairs[2 * value + 1];
  return at + 2;
}

}  // namespace

std::string IsoTime(std::uint64_t ticks, bool utc, int fractionDigits) {
  std::string text;
  AppendIsoTime(text, ticks, utc, fractionDigits);
  return text;
}

void AppendIsoTime(std::string& out, std::uint64_t ticks, bool utc, int fractionDigits) {
  char text[kIsoTimeRoom];
  out.append(text, PutIsoTime(text, ticks, utc, fractionDigits));
}

char* PutIsoTime(char* at, std::uint64_t ticks, bool utc, int fractionDigits) {
  if (ticks == 0) return at;
  const auto seconds = static_cast<std::int64_t>(ticks / kTicksPerSecond);
  const CivilDate date = CivilFromDays(seconds / kSecondsPerDay - kDaysBefore1970);
  const auto second = static_cast<unsigned>(seconds % kSecondsPerDay);
  const auto year = static_cast<std::uint64_t>(date.year);
  if (year > 9999) {
    at = PutDigits(at, year, 5);
  } else {
    at = PutPair(at, static_cast<unsigned>(year / 100));
    at = PutPair(at, static_cast<unsigned>(year % 100));
  }
  *at++ = '-';
  at = PutPair(at, date.month);
  *at++ = '-';
  at = PutPair(at, date.day);
  *at++ = 'T';
  at = PutPair(at, second / 3600);
  *at++ = ':';
  at = PutPair(at, second / 60 % 60);
  *at++ = ':';
  at = PutPair(at, second % 60);
  if (fractionDigits > 0) {
    const int digits = fractionDigits > 7 ? 7 : fractionDigits;
    *at++ = '.';
    const auto fraction = static_cast<unsigned>(ticks % kTicksPerSecond);
    char seven[8];
    seven[0] = static_cast<char>('0' + fraction / 1'000'000);
    PutPair(seven + 1, fraction / 10'000 % 100);
    PutPair(seven + 3, fraction / 100 % 100);
    PutPair(seven + 5, fraction % 100);
    at = std::copy_n(seven, digits, at);
  }
  if (utc) *at++ = 'Z';
  return at;
}

UnixTime ToUnixTime(std::uint64_t ticks) {
  const std::int64_t seconds = static_cast<std::int64_t>(ticks / kTicksPerSecond) - kDaysBefore1970 * kSecondsPerDay;
  return {seconds, static_cast<std::uint32_t>(ticks % kTicksPerSecond * 100)};
}

std::optional<std::uint64_t> ParseIsoTime(std::string_view text) {
  std::optional<unsigned> year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
  if (!year || !month || !day || text[4] != '-' || text[7] != '-' || !ValidDate(*year, *month, *day))
    return std::nullopt;
  std::int64_t second = 0;
  std::uint64_t fraction = 0;
  std::size_t at = 10;
  if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
    std::optional<unsigned> hour = Digits(text, at + 1, 2), minute = Digits(text, at + 4, 2);
    if (!hour || !minute || text[at + 3] != ':' || *hour > 23 || *minute > 59) return std::nullopt;
    second = *hour * 3600 + *minute * 60;
    at += 6;
    if (at < text.size() && text[at] == ':') {
      std::optional<unsigned> seconds = Digits(text, at + 1, 2);
      if (!seconds || *seconds > 59) return std::nullopt;
      second += *seconds;
      at += 3;
      if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
        std::uint64_t scale = kTicksPerSecond;
        for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
          if (scale /= 10) fraction += static_cast<std::uint64_t>(text[at] - '0') * scale;
      }
    }
  }
  if (at < text.size() && text[at] == 'Z') {
    ++at;
  } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    std::optional<unsigned> hours = Digits(text, at + 1, 2), minutes = Digits(text, at + 4, 2);
    if (!hours || !minutes || text[at + 3] != ':' || *hours > 23 || *minutes > 59) return std::nullopt;
    const std::int64_t offset = *hours * 3600 + *minutes * 60;
    second -= text[at] == '+' ? offset : -offset;
    at += 6;
  }
  if (at != text.size()) return std::nullopt;
  const std::uint64_t midnight = TicksOf(*year, *month, *day, 0);
  const std::int64_t shift = second * static_cast<std::int64_t>(kTicksPerSecond);
  if (shift < 0 && static_cast<std::uint64_t>(-shift) > midnight) return std::nullopt;
  return midnight + static_cast<std::uint64_t>(shift) + fraction;
}

}  // namespace corvanel
