// The scan result: compact entries, one name pool, one folder table.
#include "volume/scan_result.h"

#include <algorithm>
#include <cstring>

#include "volume/allocation_map.h"
#include "volume/exfat_directory.h"
#include "volume/mft_record.h"

namespace corvanel {

ScanResult LastScan;

void ScanResult::NoteUnreadable(UnreadableStretch::Unit unit, std::uint64_t at) {
  if (!ScanUnreadableStretches.empty()) {
    UnreadableStretch& last = ScanUnreadableStretches.back();
    if (last.unit == unit && last.first + last.count == at) {
      ++last.count;
      return;
    }
  }
  ScanUnreadableStretches.push_back({unit, at, 1});
}

std::uint32_t ScanResult::FolderId(std::u16string_view path) {
  auto [at, added] = folderIds_.try_emplace(std::u16string(path), static_cast<std::uint32_t>(folders_.size()));
  if (added) folders_.emplace_back(path);
  return at->second;
}

std::optional<ScanKey> ScanResult::Add(const MftRecord& file, std::uint32_t folder, std::uint16_t sequence) {
  ListedFile listed;
  listed.size = file.Size();
  listed.times = file.times;
  listed.record = file.recordNumber;
  listed.folder = folder;
  listed.sequence = sequence;
  if (file.isResident) listed.flags |= ListedFile::kResident;
  if (file.extensionsMissing || !file.runsComplete) listed.flags |= ListedFile::kPartial;
  if (Allocation) listed.free = static_cast<std::int8_t>(Allocation->FreeShare(file));
  return Keep(listed, file.name, folders_[folder]);
}

std::optional<ScanKey> ScanResult::Add(const FatDeletedEntry& file) {
  ListedFile listed;
  listed.size = file.fileSize;
  listed.times = file.times;
  listed.folder = FolderId(file.path);
  listed.entryIndex = file.entryIndex;
  listed.slotCount = file.slotCount;
  listed.dirSector = file.dirSector;
  listed.firstDataSector = file.firstDataSector;
  listed.clusterHigh = file.clusterHigh;
  if (Allocation) listed.free = static_cast<std::int8_t>(Allocation->FreeShare(file));
  return Keep(listed, file.name, folders_[listed.folder]);
}

std::optional<ScanKey> ScanResult::Add(const ExfatEntrySet& file, const ExfatFacts& facts, std::int8_t free) {
  ListedFile listed;
  listed.size = file.stream.dataLength;
  listed.record = file.stream.validDataLength;
  listed.times = file.times;
  listed.folder = FolderId(file.path);
  const std::uint64_t entry = file.entryOffsets.front();
  listed.dirSector = static_cast<std::uint32_t>(entry / kSectorSize);
  listed.entryIndex = static_cast<std::uint16_t>(entry % kSectorSize / 32);
  listed.slotCount = static_cast<std::uint16_t>(file.entryOffsets.size());
  listed.clusterHigh = file.stream.firstCluster;
  if (std::optional<std::uint64_t> offset = facts.ClusterOffset(file.stream.firstCluster))
    listed.firstDataSector = static_cast<std::uint32_t>(*offset / kSectorSize);
  if (file.stream.NoFatChain()) listed.flags |= ListedFile::kNoFatChain;
  if (file.Damaged()) listed.flags |= ListedFile::kDamaged;
  if (file.createdUtc) listed.flags |= ListedFile::kCreatedUtc;
  if (file.modifiedUtc) listed.flags |= ListedFile::kModifiedUtc;
  if (file.accessedUtc) listed.flags |= ListedFile::kAccessedUtc;
  listed.free = free;
  return Keep(listed, file.name, folders_[listed.folder]);
}

std::optional<ScanKey> ScanResult::Keep(ListedFile& file, std::u16string_view name, std::u16string_view path) {
  const std::size_t index = Found++;
  if (Filter && !Filter->Admits(file, name, path)) return std::nullopt;
  const ScanKey key = listed_++;
  if (KeepFiles) {
    name = name.substr(0, std::min<std::size_t>(name.size(), UINT16_MAX));
    if (kPoolChunk - poolUsed_ < name.size()) {
      pool_.push_back(std::make_unique_for_overwrite<char16_t[]>(std::max(kPoolChunk, name.size())));
      poolUsed_ = 0;
    }
    file.nameAt = (pool_.size() - 1) * kPoolChunk + poolUsed_;
    file.nameLength = static_cast<std::uint16_t>(name.size());
    std::copy(name.begin(), name.end(), pool_.back().get() + poolUsed_);
    poolUsed_ += name.size();
    if (kept_ % kFileChunk == 0) files_.push_back(std::make_unique<ListedFile[]>(kFileChunk));
    files_[kept_ / kFileChunk][kept_ % kFileChunk] = file;
    ++kept_;
    if (Filter) Indexes.push_back(index);
  }
  if (Listener) Listener->OnListed(key, index, file, name, path);
  return key;
}

std::u16string_view ScanResult::Name(ScanKey key) const {
  const ListedFile* file = File(key);
  if (!file) return u"";
  return {pool_[file->nameAt / kPoolChunk].get() + file->nameAt % kPoolChunk, file->nameLength};
}

std::u16string_view ScanResult::Path(ScanKey key) const {
  const ListedFile* file = File(key);
  return file ? std::u16string_view(folders_[file->folder]) : u"";
}

}  // namespace corvanel
