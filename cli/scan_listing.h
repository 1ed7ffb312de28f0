// The scan's listing on standard output: one line of text or JSON per deleted
// file, in the order the scan lists them, formatted on a thread of its own
// while the scan reads on.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "volume/scan_result.h"
#include "volume/volume_geometry.h"

namespace corvanel::cli {

class ListingPrinter final : public ScanListener {
 public:
  ListingPrinter(Console& console, bool json);
  ~ListingPrinter() override;
  ListingPrinter(const ListingPrinter&) = delete;
  ListingPrinter& operator=(const ListingPrinter&) = delete;

  void OnListed(ScanKey, std::size_t index, const ListedFile& file, std::u16string_view name,
                std::u16string_view path) override;
  // The text listing's header, before the first file (or alone when none came).
  void Header();
  // Writes every line not yet written. Only this thread writes to the
  // console: standard error, tied to standard output, flushes it.
  void Finish();

  std::size_t damaged = 0;  // files listed from entry sets that fail their checksum or fields

  // A folder's path as the lines show it: quoted and escaped (JSON), or
  // escaped with the separator before the name (text).
  struct Folder {
    std::string json;
    std::string text;
  };
  struct Item {
    std::size_t index;
    ListedFile file;
    const Folder* folder;
    std::size_t nameAt;  // in the batch's names
    std::size_t nameLength;
  };
  // Files handed to the formatting thread together, and their lines.
  struct Batch {
    std::vector<Item> items;
    std::u16string names;
    std::string lines;
  };

 private:
  void HandOver();
  void WriteFormatted(bool wait);
  void Format();

  Console& console_;
  const bool json_;
  bool header_ = false;
  BootSectorFacts volume_{};
  FileSystem kind_ = kFileSystemNtfs;
  // By folder id; the folders themselves stay where they are as more come.
  std::vector<const Folder*> folderById_;
  std::deque<Folder> folders_;

  // Batches cycle through the slots: filled here, formatted there, written here.
  static constexpr std::size_t kSlots = 3;
  std::array<Batch, kSlots> slots_;
  std::chrono::steady_clock::time_point batchStarted_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t handed_ = 0;     // batches handed over
  std::uint64_t formatted_ = 0;  // of them, formatted
  std::uint64_t written_ = 0;    // of them, written
  bool stop_ = false;
  std::thread formatter_;
};

}  // namespace corvanel::cli
