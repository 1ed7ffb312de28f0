// The scan's listing, written by hand: a listing of a million files spends
// its time formatting, so each line is put together in one buffer without
// streams, per-line strings or a JSON library.
#include "cli/scan_listing.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "volume/fat_layout.h"
#include "volume/file_times.h"

namespace corvanel::cli {
namespace {

constexpr std::size_t kBatchFiles = 1024;
// A batch that fills slowly (a slow volume) is handed over after this long.
constexpr std::chrono::milliseconds kBatchAge{200};
// Room for a line's fields other than its name and path.
constexpr std::size_t kFieldsRoom = 640;
// Each UTF-16 unit of a name writes at most this many bytes ("\u001f").
constexpr std::size_t kUnitRoom = 6;

char* Put(char* at, std::string_view text) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

char* PutNumber(char* at, std::uint64_t value) { return std::to_chars(at, at + 24, value).ptr; }

// A number right-aligned in width columns, as printf's "%6zu" puts it.
char* PutPadded(char* at, std::uint64_t value, std::size_t width) {
  char digits[24];
  char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  const auto length = static_cast<std::size_t>(end - digits);
  if (length < width) at = std::fill_n(at, width - length, ' ');
  return std::copy(digits, end, at);
}

char* PutHex2(char* at, unsigned value) {
  static constexpr char kHex[] = "0123456789abcdef";
  at[0] = kHex[value >> 4 & 0xF];
  at[1] = kHex[value & 0xF];
  return at + 2;
}

// A name in UTF-8 (lone surrogates as U+FFFD), escaped for a JSON string as
// nlohmann::json dumps it, or for the terminal as Printable does after the
// listing's doubling of backslashes (C0, DEL and C1 controls as \n, \r, \t
// or \xNN).
char* PutName(char* at, std::u16string_view name, bool json) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    char32_t c = name[i];
    if (c < 0x80) {
      const bool escaped = c < 0x20 || c == '\\' || (json ? c == '"' : c == 0x7F);
      if (!escaped) {
        *at++ = static_cast<char>(c);
        continue;
      }
      *at++ = '\\';
      switch (c) {
        case '\\': *at++ = '\\'; break;
        case '"': *at++ = '"'; break;
        case '\n': *at++ = 'n'; break;
        case '\r': *at++ = 'r'; break;
        case '\t': *at++ = 't'; break;
        case '\b':
        case '\f':
          if (json) {
            *at++ = c == '\b' ? 'b' : 'f';
            break;
          }
          [[fallthrough]];
        default:
          at = PutHex2(Put(at, json ? "u00" : "x"), c);
      }
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c <= 0x9F && !json) {  // a C1 control
      at = PutHex2(Put(at, "\\x"), c);
    } else if (c < 0x800) {
      *at++ = static_cast<char>(0xC0 | c >> 6);
      *at++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *at++ = static_cast<char>(0xE0 | c >> 12);
      *at++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      *at++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *at++ = static_cast<char>(0xF0 | c >> 18);
      *at++ = static_cast<char>(0x80 | (c >> 12 & 0x3F));
      *at++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      *at++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return at;
}

char* PutField(char* at, std::string_view key, std::uint64_t value) {
  *at++ = ',';
  *at++ = '"';
  at = Put(at, key);
  *at++ = '"';
  *at++ = ':';
  return PutNumber(at, value);
}

// A time: null when the file system does not know it; the first `keep`
// characters of it when given.
char* PutTime(char* at, std::string_view key, std::uint64_t ticks, bool utc, int fractionDigits,
              std::size_t keep = kIsoTimeRoom) {
  *at++ = ',';
  *at++ = '"';
  at = Put(at, key);
  *at++ = '"';
  *at++ = ':';
  if (ticks == 0) return Put(at, "null");
  *at++ = '"';
  char* start = at;
  at = PutIsoTime(at, ticks, utc, fractionDigits);
  if (static_cast<std::size_t>(at - start) > keep) at = start + keep;
  *at++ = '"';
  return at;
}

char* PutJsonLine(char* at, const ListingPrinter::Item& item, std::u16string_view name, FileSystem kind,
                  const BootSectorFacts& volume) {
  const ListedFile& file = item.file;
  at = PutNumber(Put(at, "{\"index\":"), item.index);
  *at++ = ',';
  at = Put(at, "\"name\":\"");
  at = PutName(at, name, true);
  at = Put(at, "\",\"path\":");
  at = Put(at, item.folder->json);
  at = PutField(at, "size", file.size);
  const bool ntfs = kind == kFileSystemNtfs;
  if (ntfs) at = Put(at, file.Resident() ? ",\"resident\":true" : ",\"resident\":false");
  at = Put(at, ntfs ? ",\"fs\":\"ntfs\"" : kind == kFileSystemExfat ? ",\"fs\":\"exfat\"" : ",\"fs\":\"fat32\"");
  if (std::optional<int> free = file.FreeShare()) at = PutField(at, "free", static_cast<std::uint64_t>(*free));
  if (ntfs) {
    at = PutField(at, "record", file.record);
    at = PutTime(at, "created", file.times.created, true, 7);
    at = PutTime(at, "modified", file.times.modified, true, 7);
    at = PutTime(at, "accessed", file.times.accessed, true, 7);
    at = PutTime(at, "changed", file.times.changed, true, 7);
  } else if (kind == kFileSystemExfat) {
    // The file entry's place, and the number The Sleuth Kit gives it.
    at = PutField(at, "sector", file.dirSector);
    at = PutField(at, "entry", file.entryIndex);
    const std::uint64_t heap = std::uint64_t{volume.geometry.fatFirstDataSector} * kSectorSize;
    const std::uint64_t place = std::uint64_t{file.dirSector} * kSectorSize + file.entryIndex * 32u;
    at = PutField(at, "inode", place >= heap ? (place - heap) / 32 + 3 : 0);
    at = Put(at, file.flags & ListedFile::kNoFatChain ? ",\"contiguous\":true" : ",\"contiguous\":false");
    if (file.Damaged()) at = Put(at, ",\"damaged\":true");
    // To 10 ms (accessed to two seconds); UTC where the entry gave its
    // zone's offset, else the local time as stored.
    at = PutTime(at, "created", file.times.created, file.flags & ListedFile::kCreatedUtc, 2);
    at = PutTime(at, "modified", file.times.modified, file.flags & ListedFile::kModifiedUtc, 2);
    at = PutTime(at, "accessed", file.times.accessed, file.flags & ListedFile::kAccessedUtc, 0);
  } else {
    // The short entry's place, and the number The Sleuth Kit gives it.
    at = PutField(at, "sector", file.dirSector);
    at = PutField(at, "entry", file.entryIndex);
    at = PutField(at, "inode", fat::EntryNumber(volume, file.dirSector, file.entryIndex));
    at = PutTime(at, "created", file.times.created, false, 2);
    at = PutTime(at, "modified", file.times.modified, false, 0);
    at = PutTime(at, "accessed", file.times.accessed, false, 0, 10);  // a date only
    at = Put(at, ",\"localTime\":true");
  }
  return Put(at, "}\n");
}

// "index size free modified path/name": the columns as printf's
// "%6zu %14llu %4s  %-16s  " lays them out.
char* PutTextLine(char* at, const ListingPrinter::Item& item, std::u16string_view name) {
  const ListedFile& file = item.file;
  at = PutPadded(at, item.index, 6);
  *at++ = ' ';
  at = PutPadded(at, file.size, 14);
  *at++ = ' ';
  if (std::optional<int> free = file.FreeShare()) {
    char share[8];
    char* end = PutNumber(share, static_cast<std::uint64_t>(*free));
    *end++ = '%';
    if (end - share < 4) at = std::fill_n(at, 4 - (end - share), ' ');
    at = std::copy(share, end, at);
  } else {
    at = Put(at, "   ?");
  }
  at = Put(at, "  ");
  char* modified = at;
  at = PutIsoTime(at, file.times.modified, false, 0);
  if (at == modified) {
    at = Put(at, "?");
  } else {
    at = std::min(at, modified + 16);
    modified[10] = ' ';
  }
  if (at - modified < 16) at = std::fill_n(at, 16 - (at - modified), ' ');
  at = Put(at, "  ");
  at = Put(at, item.folder->text);
  at = PutName(at, name, false);
  return Put(at, file.Damaged() ? "  [damaged entry set]\n" : "\n");
}

}  // namespace

ListingPrinter::ListingPrinter(Console& console, bool json)
    : console_(console), json_(json), formatter_([this] { Format(); }) {}

ListingPrinter::~ListingPrinter() { Finish(); }

void ListingPrinter::Header() {
  if (!json_ && !header_) console_.out << " index           size free  modified          name\n";
  header_ = true;
}

void ListingPrinter::OnListed(ScanKey, std::size_t index, const ListedFile& file, std::u16string_view name,
                              std::u16string_view path) {
  if (folderById_.empty()) {  // the first file: the scan has read the volume's facts by now
    volume_ = LastScan.ScannedVolume;
    kind_ = volume_.kind;
  }
  Header();
  damaged += file.Damaged();
  if (file.folder >= folderById_.size()) folderById_.resize(file.folder + 1, nullptr);
  const Folder*& folder = folderById_[file.folder];
  if (!folder) {
    // Converted once: the scan gives each folder's files one id.
    Folder& made = folders_.emplace_back();
    std::string text(kUnitRoom * path.size() + 2, '\0');
    char* end = PutName(text.data(), path, true);
    made.json = '"' + text.substr(0, static_cast<std::size_t>(end - text.data())) + '"';
    end = PutName(text.data(), path, false);
    // A folder that could not be followed ("?/") carries its own separator.
    if (!path.empty() && path.back() != u'/') *end++ = '/';
    text.resize(static_cast<std::size_t>(end - text.data()));
    made.text = std::move(text);
    folder = &made;
  }
  Batch& batch = slots_[handed_ % kSlots];
  if (batch.items.empty()) batchStarted_ = std::chrono::steady_clock::now();
  batch.items.push_back({index, file, folder, batch.names.size(), name.size()});
  batch.names.append(name);
  if (batch.items.size() >= kBatchFiles ||
      (batch.items.size() % 64 == 0 && std::chrono::steady_clock::now() - batchStarted_ > kBatchAge))
    HandOver();
}

void ListingPrinter::HandOver() {
  {
    std::lock_guard lock(mutex_);
    ++handed_;
  }
  changed_.notify_all();
  WriteFormatted(false);
  // The next slot is free once its last batch is written.
  while (handed_ - written_ >= kSlots) WriteFormatted(true);
}

// Writes the batches formatted by now, in order; with wait, at least one.
void ListingPrinter::WriteFormatted(bool wait) {
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (wait) changed_.wait(lock, [&] { return formatted_ > written_; });
      if (formatted_ == written_) return;
    }
    Batch& batch = slots_[written_ % kSlots];
    console_.out.write(batch.lines.data(), static_cast<std::streamsize>(batch.lines.size()));
    batch.items.clear();
    batch.names.clear();
    ++written_;
    wait = false;
  }
}

void ListingPrinter::Finish() {
  if (!formatter_.joinable()) return;
  if (!slots_[handed_ % kSlots].items.empty()) HandOver();
  while (written_ < handed_) WriteFormatted(true);
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  formatter_.join();
}

// The formatting thread: each batch handed over, in turn.
void ListingPrinter::Format() {
  std::vector<char> line;
  for (std::uint64_t next = 0;; ++next) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return handed_ > next || stop_; });
      if (handed_ == next) return;
    }
    Batch& batch = slots_[next % kSlots];
    batch.lines.clear();
    for (const Item& item : batch.items) {
      const std::u16string_view name(batch.names.data() + item.nameAt, item.nameLength);
      const std::size_t room = kFieldsRoom + kUnitRoom * name.size() + item.folder->json.size() + item.folder->text.size();
      if (line.size() < room) line.resize(room);
      char* end = json_ ? PutJsonLine(line.data(), item, name, kind_, volume_) : PutTextLine(line.data(), item, name);
      batch.lines.append(line.data(), end);
    }
    {
      std::lock_guard lock(mutex_);
      formatted_ = next + 1;
    }
    changed_.notify_all();
  }
}

}  // namespace corvanel::cli
