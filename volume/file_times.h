// A file's times as its file system keeps them, counted the Windows way:
// 100-nanosecond ticks since 1601-01-01. NTFS keeps UTC; a FAT32 entry keeps
// the local time of the machine that wrote it, with no zone, and so the same
// count stands for a local time there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace corvanel {

inline constexpr std::uint64_t kTicksPerSecond = 10'000'000;

struct FileTimes {
  std::uint64_t created = 0;   // 0: not known
  std::uint64_t modified = 0;
  std::uint64_t accessed = 0;
  std::uint64_t changed = 0;   // NTFS only: when the record itself last changed
};

// The times of $STANDARD_INFORMATION's value; nothing when it is too short.
std::optional<FileTimes> ReadStandardInformationTimes(std::span<const std::uint8_t> value);

// The times of a FAT32 short entry (created to the hundredth, modified to
// two seconds, accessed a date alone); a date of 0 or out of range gives 0.
FileTimes ReadFatEntryTimes(std::span<const std::uint8_t, 32> entry);

// The times of an exFAT file entry (created and modified to 10 ms, accessed
// to two seconds), each moved to UTC where the entry gives its zone's offset
// (the flag says so) and kept as the local time stored where it does not.
struct ExfatEntryTimes {
  FileTimes times{};
  bool createdUtc = false, modifiedUtc = false, accessedUtc = false;
};
ExfatEntryTimes ReadExfatEntryTimes(std::span<const std::uint8_t, 32> fileEntry);

// "2024-05-01T12:34:56.1234567Z" (utc) or "2024-05-01T12:34:56" with as
// many fraction digits as asked (0..7); "" for 0.
std::string IsoTime(std::uint64_t ticks, bool utc, int fractionDigits);
// The same, appended to text (nothing for 0): no string of its own per time.
void AppendIsoTime(std::string& text, std::uint64_t ticks, bool utc, int fractionDigits);
// The same, written at `at` (room for kIsoTimeRoom characters); returns its end.
inline constexpr std::size_t kIsoTimeRoom = 32;
char* PutIsoTime(char* at, std::uint64_t ticks, bool utc, int fractionDigits);

// Seconds and nanoseconds since 1970-01-01, as POSIX counts time.
struct UnixTime {
  std::int64_t seconds;
  std::uint32_t nanoseconds;
};
UnixTime ToUnixTime(std::uint64_t ticks);

// Ticks of an ISO 8601 date or date and time ("2024-05-01", "2024-05-01T12:00",
// "2024-05-01T12:00:00.5Z", "2024-05-01 12:00:00+02:00"); without a zone it is
// taken as UTC. Nothing when it is not one.
std::optional<std::uint64_t> ParseIsoTime(std::string_view text);

}  // namespace corvanel
